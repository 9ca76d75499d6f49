/*
 * The binder classes and transaction functions the library registers at
 * load. Not exported: reachable only by the library itself and by white-box
 * tests that link its sources directly.
 */
#ifndef AIDL_BGSERVICE_INTERNAL_REGISTRATION_H
#define AIDL_BGSERVICE_INTERNAL_REGISTRATION_H

#include <android/binder_ibinder.h>

namespace aidl::vendor::tolvek::hardware::aidlbgservice {

// The classes of the two interfaces: set once at load (null when the runtime
// refused the definition), never changed or freed.
extern AIBinder_Class* bgServiceClass;
extern AIBinder_Class* eventCallbackClass;

// The interfaces' transaction functions, handed to the runtime with the classes.
binder_status_t _aidl_vendor_tolvek_hardware_aidlbgservice_IBGService_onTransact(
        AIBinder* binder, transaction_code_t code, const AParcel* in, AParcel* out);
binder_status_t _aidl_vendor_tolvek_hardware_aidlbgservice_IEventCallback_onTransact(
        AIBinder* binder, transaction_code_t code, const AParcel* in, AParcel* out);

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice

#endif  // AIDL_BGSERVICE_INTERNAL_REGISTRATION_H
