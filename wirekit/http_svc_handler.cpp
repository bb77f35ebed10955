#include "wirekit/http_svc_handler.h"

HTTP_Svc_Handler::HTTP_Svc_Handler(ACE_Thread_Manager* thread_manager)
    : ACE_Svc_Handler<ACE_SOCK_Stream, ACE_NULL_SYNCH>(thread_manager, nullptr, nullptr) {}
