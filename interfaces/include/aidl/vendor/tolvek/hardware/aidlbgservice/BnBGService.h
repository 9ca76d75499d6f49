/*
 * BnBGService: the base of an IBGService implementation. Derive from it,
 * implement the eight methods, create the object with
 * ndk::SharedRefBase::makeRef, and publish asBinder(). The binder is made on
 * the first asBinder() and keeps the object alive while anyone holds it.
 */
#ifndef AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_BNBGSERVICE_H
#define AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_BNBGSERVICE_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<aidl/vendor/tolvek/hardware/aidlbgservice/BnBGService.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#include <aidl/vendor/tolvek/hardware/aidlbgservice/IBGService.h>

namespace aidl::vendor::tolvek::hardware::aidlbgservice {

class AIDL_BGSERVICE_EXPORT BnBGService : public ::ndk::BnCInterface<IBGService> {
  public:
    BnBGService();
    virtual ~BnBGService();

    // Version 1 and IBGService::hash; implementations cannot replace them.
    ::ndk::UniqueAStatus getInterfaceVersion(int32_t* _aidl_return) final;
    ::ndk::UniqueAStatus getInterfaceHash(std::string* _aidl_return) final;

  protected:
    ::ndk::SpAIBinder createBinder() override;
};

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice

#endif  // AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_BNBGSERVICE_H
