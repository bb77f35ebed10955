// The strategies' handler factories are made in this file. ACE frees a
// handler with the delete that matches its own operator new; the optimiser of
// GCC takes that pair for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "wirekit/connector_mgr.h"

#include <ace/Reactor.h>

Connector_Mgr_Impl::Connector_Mgr_Impl()
    : handlerCreation_(nullptr, nullptr),
      connectStrategy_(cachingStrategy_, &handlerCreation_),
      connector_(ACE_Reactor::instance(), &noCreation_, &connectStrategy_, &noConcurrency_) {}

Connector_Mgr_Impl::~Connector_Mgr_Impl() {
    connector_.close();
    connectStrategy_.cleanup();
}

Connector_Mgr_Impl* Connector_Mgr_Impl::instance() {
    // ACE's singleton reads its pointer without a lock or a barrier before it
    // takes its mutex, which races with the thread that makes the instance. The
    // first call goes through a guarded static, so that every thread finds the
    // instance complete.
    static Connector_Mgr_Impl* const made = Connector_Mgr::instance();
    return made;
}
