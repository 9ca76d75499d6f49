/*
 * Visibility of the binding library's programming interface. The library is
 * built with hidden visibility; only what is marked here is exported.
 */
#ifndef AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_EXPORT_H
#define AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_EXPORT_H

#define AIDL_BGSERVICE_EXPORT __attribute__((visibility("default")))

#endif  // AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_EXPORT_H
