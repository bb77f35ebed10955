// The process-wide connection manager of the HTTP client.
#pragma once

#include <ace/Cached_Connect_Strategy_T.h>
#include <ace/Caching_Utility_T.h>
#include <ace/Connector.h>
#include <ace/INET_Addr.h>
#include <ace/Recursive_Thread_Mutex.h>
#include <ace/SOCK_Connector.h>
#include <ace/Singleton.h>
#include <ace/Strategies_T.h>
#include <ace/Thread_Mutex.h>

#include <cstddef>
#include <utility>

#include "wirekit/http_svc_handler.h"

// Holds the connector that every HTTP invoker connects through, with a cache
// of connections keyed by server address: a connect takes an idle cached
// connection to the address when there is one (one that the server has
// closed meanwhile is dropped) and otherwise opens a new one; an invoker
// gives a kept-alive connection back as idle, and closing a connection takes
// it out. Connections are purged oldest first when descriptors run out. Any
// thread: the cache has its own lock, which is not held while a new
// connection is being opened.
class Connector_Mgr_Impl {
public:
    using Connector = ACE_Strategy_Connector<HTTP_Svc_Handler, ACE_SOCK_Connector>;

    Connector_Mgr_Impl();
    // Closes the connector and every cached connection.
    ~Connector_Mgr_Impl();
    Connector_Mgr_Impl(const Connector_Mgr_Impl&) = delete;
    Connector_Mgr_Impl& operator=(const Connector_Mgr_Impl&) = delete;

    // The one instance, made at the first call; any thread. Reach it through
    // this call rather than Connector_Mgr::instance(), which is not safe for a
    // first call from several threads at once.
    static Connector_Mgr_Impl* instance();

    Connector& connector() { return connector_; }

private:
    using Attributes = size_t;
    using Cache_Key = ACE_Refcounted_Hash_Recyclable<ACE_INET_Addr>;
    using Cached_Handler = std::pair<HTTP_Svc_Handler*, Attributes>;
    using Cache_Map = ACE_Hash_Map_Manager_Ex<Cache_Key, Cached_Handler, ACE_Hash<Cache_Key>,
                                              ACE_Equal_To<Cache_Key>, ACE_Null_Mutex>;
    using Cache_Iterator = ACE_Hash_Map_Iterator_Ex<Cache_Key, Cached_Handler, ACE_Hash<Cache_Key>,
                                                    ACE_Equal_To<Cache_Key>, ACE_Null_Mutex>;
    using Caching_Utility =
        ACE_Recyclable_Handler_Caching_Utility<Cache_Key, Cached_Handler, Cache_Map, Cache_Iterator,
                                               Attributes>;
    using Caching_Strategy = ACE_FIFO_Caching_Strategy<Attributes, Caching_Utility>;
    // The cache's lock is recursive: dropping a cached connection that the
    // server has closed destroys its handler, which takes itself out of the
    // cache under the same lock, while the connect that found it holds it.
    using Cached_Connect_Strategy =
        ACE_Cached_Connect_Strategy_Ex<HTTP_Svc_Handler, ACE_SOCK_Connector, Caching_Strategy,
                                       Attributes, ACE_Recursive_Thread_Mutex>;

    ACE_NOOP_Creation_Strategy<HTTP_Svc_Handler> noCreation_;
    ACE_NOOP_Concurrency_Strategy<HTTP_Svc_Handler> noConcurrency_;
    ACE_Creation_Strategy<HTTP_Svc_Handler> handlerCreation_;  // handlers without a reactor
    Caching_Strategy cachingStrategy_;
    Cached_Connect_Strategy connectStrategy_;
    Connector connector_;
};

using Connector_Mgr = ACE_Singleton<Connector_Mgr_Impl, ACE_Thread_Mutex>;
