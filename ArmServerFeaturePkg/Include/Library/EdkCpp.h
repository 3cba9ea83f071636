/** @file
  Small C++ helpers shared by the C++ modules of this package.

  Conventions for a .cpp file in an EDK II module:
  - Every EDK II header (and every header of this package that declares
    library functions or GUIDs) is included inside one
      extern "C" {
      #include <Uefi.h>
      ...
      }
    block, so that functions and globals keep their C names. AutoGen.h is
    force-included by the build and wraps itself.
  - Functions that EDK II code calls back (entry points, protocol members,
    event notify functions) have C++ linkage unless they must be found by
    name; they are only reached through pointers, so that is harmless.
  - Freestanding C++17: no exceptions (build with -fno-exceptions), no RTTI,
    no standard library, no new/delete, no virtual functions, no global or
    static objects with constructors or destructors, no function-local
    statics that need guarded initialisation.

  This header is C++ only.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef EDK_CPP_H_
#define EDK_CPP_H_

#ifndef __cplusplus
  #error "EdkCpp.h is for C++ sources only"
#endif

//
// The compiler modes the modules are written for, refused at compile time
// rather than found out at run time. The modules are written and tested as
// C++17; an older standard changes what compiles and what a constexpr table
// or an aggregate initialiser means. With exceptions on, a destructor on an
// unwinding path pulls in the personality routine and unwind tables that no
// firmware provides: every module INF builds with -fno-exceptions.
//
#if __cplusplus < 201703L
  #error "the package's C++ modules need C++17 or later (-std=gnu++17)"
#endif

#if defined (__cpp_exceptions) || defined (__EXCEPTIONS)
  #error "the package's C++ modules must be built without exceptions (-fno-exceptions in the INF's CC_FLAGS)"
#endif

extern "C" {
#include <Uefi.h>
#include <Library/MemoryAllocationLib.h>
}

/**
  Owns one pool buffer of MemoryAllocationLib (AllocatePool (), and the
  buffers UefiLib and DxeServicesLib return, such as GetVariable2 () and
  GetSectionFromAnyFv () give) and frees it with FreePool () when it goes out
  of scope, unless ownership has been given away with Release (). A buffer is
  given back to the allocator that gave it. Meant for functions with several
  exits that must all free a temporary buffer. Not copyable. Use it only for
  local variables: a global or static holder would need a constructor and
  destructor run by the C++ runtime, which an EDK II image does not have.
  A module that uses it lists MemoryAllocationLib in its INF.
**/
template <typename T>
class POOL_BUFFER {
public:
  /**
    Creates an empty holder.
  **/
  POOL_BUFFER (
    VOID
    ) : mBuffer (NULL)
  {
  }

  /**
    Takes ownership of an existing pool buffer (may be NULL).

    @param[in]  Buffer  A buffer from MemoryAllocationLib.
  **/
  explicit POOL_BUFFER (
    IN T  *Buffer
    ) : mBuffer (Buffer)
  {
  }

  /**
    Frees the owned buffer, if any.
  **/
  ~POOL_BUFFER (
    )
  {
    Reset (NULL);
  }

  POOL_BUFFER (const POOL_BUFFER &)            = delete;
  POOL_BUFFER &operator= (const POOL_BUFFER &) = delete;

  /**
    Allocates a new boot-services data pool buffer with AllocatePool () and
    takes ownership of it; a buffer owned before is freed.

    @param[in]  Size  The number of bytes.

    @retval EFI_SUCCESS           The buffer is allocated and owned.
    @retval EFI_OUT_OF_RESOURCES  The pool is exhausted; nothing is owned.
  **/
  EFI_STATUS
  Allocate (
    IN UINTN  Size
    )
  {
    Reset (static_cast<T *>(AllocatePool (Size)));
    return (mBuffer == NULL) ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
  }

  /**
    @return The owned buffer, or NULL.
  **/
  T *
  Get (
    VOID
    ) const
  {
    return mBuffer;
  }

  /**
    Gives up ownership without freeing.

    @return The buffer that was owned, or NULL.
  **/
  T *
  Release (
    VOID
    )
  {
    T  *Buffer;

    Buffer  = mBuffer;
    mBuffer = NULL;
    return Buffer;
  }

  /**
    Frees the owned buffer, if any, and takes ownership of Buffer.

    @param[in]  Buffer  The new buffer to own, or NULL.
  **/
  VOID
  Reset (
    IN T  *Buffer
    )
  {
    if ((mBuffer != NULL) && (mBuffer != Buffer)) {
      FreePool (mBuffer);
    }

    mBuffer = Buffer;
  }

private:
  T    *mBuffer;
};

#endif // EDK_CPP_H_
