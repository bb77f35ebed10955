#include "wirekit/http_invoker.h"

template class HTTP_Invoker_T<ACE_Strategy_Connector<HTTP_Svc_Handler, ACE_SOCK_Connector>,
                              HTTP_Svc_Handler>;
