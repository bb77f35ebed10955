// The service handler of one TCP connection of the HTTP client.
#pragma once

#include <ace/SOCK_Stream.h>
#include <ace/Svc_Handler.h>

// A connection that its user reads and writes with blocking calls on its own
// thread. It is not registered with a reactor: the connector's cache makes
// it, hands it out, takes it back as idle (ACE_Svc_Handler::idle) and
// destroys it when it is closed (ACE_Svc_Handler::close), which also takes it
// out of the cache. Always made with new.
class HTTP_Svc_Handler : public ACE_Svc_Handler<ACE_SOCK_Stream, ACE_NULL_SYNCH> {
public:
    explicit HTTP_Svc_Handler(ACE_Thread_Manager* thread_manager = nullptr);
};
