/*
 * Visibility of the binding library's programming interface. The library is
 * built with hidden visibility; only what is marked here is exported.
 */
#ifndef AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_EXPORT_H
#define AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_EXPORT_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<aidl/vendor/tolvek/hardware/aidlbgservice/export.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#define AIDL_BGSERVICE_EXPORT __attribute__((visibility("default")))

#endif  // AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_EXPORT_H
