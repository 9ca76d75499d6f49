// Includes the public C API with default visibility.
//
// The library is built with hidden visibility so that its C++ internals stay
// private; the C entry points declared here are the only symbols it exports
// (binder_ndk.map then limits them to the A* and Bgs* names). Every source of the
// runtime includes this header before any other header of the runtime.
#ifndef BINDER_NDK_INTERNAL_PUBLIC_API_H
#define BINDER_NDK_INTERNAL_PUBLIC_API_H

#pragma GCC visibility push(default)
#include <android/binder_ibinder.h>
#include <android/binder_manager.h>
#include <android/binder_process.h>
#include <android/binder_parcel.h>
#include <android/binder_status.h>
#include <bgs/monitor.h>
#include <bgs/service_manager.h>
#pragma GCC visibility pop

#endif  // BINDER_NDK_INTERNAL_PUBLIC_API_H
