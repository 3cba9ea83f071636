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

extern "C" {
#include <Uefi.h>
#include <Library/UefiBootServicesTableLib.h>
}

/**
  Owns one boot-services pool buffer and frees it with gBS->FreePool () when
  it goes out of scope, unless ownership has been given away with Release ().
  Meant for functions with several exits that must all free a temporary
  buffer. Not copyable. Use it only for local variables: a global or static
  holder would need a constructor and destructor run by the C++ runtime,
  which an EDK II image does not have.
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

    @param[in]  Buffer  A buffer allocated with gBS->AllocatePool ().
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
    Allocates a new pool buffer and takes ownership of it; a buffer owned
    before is freed.

    @param[in]  PoolType  The pool type, usually EfiBootServicesData.
    @param[in]  Size      The number of bytes.

    @retval EFI_SUCCESS  The buffer is allocated and owned.
    @retval Others       The status of gBS->AllocatePool (); nothing is owned.
  **/
  EFI_STATUS
  Allocate (
    IN EFI_MEMORY_TYPE  PoolType,
    IN UINTN            Size
    )
  {
    EFI_STATUS  Status;
    VOID        *Buffer;

    Reset (NULL);
    Buffer = NULL;
    Status = gBS->AllocatePool (PoolType, Size, &Buffer);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    if (Buffer == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }

    mBuffer = static_cast<T *>(Buffer);
    return EFI_SUCCESS;
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
      gBS->FreePool (mBuffer);
    }

    mBuffer = Buffer;
  }

private:
  T    *mBuffer;
};

#endif // EDK_CPP_H_
