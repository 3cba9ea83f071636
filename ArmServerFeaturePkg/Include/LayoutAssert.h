/** @file
  Build-time checks of record layouts shared between separately built images
  (protocol interfaces, setup variables, flash records). A layout change that
  would break a peer fails the build instead of corrupting data at run time.

  Usable from C and from C++: STATIC_ASSERT comes from MdePkg's Base.h
  (_Static_assert in C, static_assert in C++), OFFSET_OF is a constant
  expression in both.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef LAYOUT_ASSERT_H_
#define LAYOUT_ASSERT_H_

/**
  Fails the build unless sizeof (Type) is Size bytes.
**/
#define STATIC_ASSERT_SIZE(Type, Size) \
  STATIC_ASSERT (sizeof (Type) == (Size), "sizeof (" #Type ") must be " #Size)

/**
  Fails the build unless Field of Type starts at byte Offset.
**/
#define STATIC_ASSERT_OFFSET(Type, Field, Offset) \
  STATIC_ASSERT (OFFSET_OF (Type, Field) == (Offset), #Type "." #Field " must be at offset " #Offset)

#endif // LAYOUT_ASSERT_H_
