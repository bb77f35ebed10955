#include "job/stores/key_manager.h"

namespace {

// A type of this file alone, so that the instance is the library's own and no
// other deliverable's accessor of KeyManagerImpl reaches it.
class StoreKeyManager : public KeyManagerImpl {};

}  // namespace

KeyManagerImpl& store_key_manager() {
    return *ATL::CComSingleton<StoreKeyManager, ATL::CComAutoCriticalSection>::instance();
}
