#include "portvane/forwarding.h"

#include "job/stores/options.h"

namespace portvane {

ServerAddress serverAddress() {
    ServerAddress server;
    OptionsImpl::instance()->getServerInfo(server.host, server.port);
    return server;
}

std::string replyBody(const Response_T<json_spirit::Value>& response) {
    return response.body().is_null() ? std::string() : json_spirit::write(response.body());
}

int answerForwarded(mg_connection* conn, int state, int status, const char* setCookie,
                    const std::string& body, const ForwardMessages& messages) {
    if (state & kCommandFailureMask) {
        log_message(LM_ERROR, messages.stateFormat, state);
        if (state == CMD_CONNECT_FAILED) {
            reply(conn, kReply503);
            return 503;
        }
        reply(conn, kReply500);
        return 500;
    }
    if (status >= 200 && status <= 299) {
        replyRelayed(conn, 200, setCookie, body);
        return 200;
    }
    log_message(LM_ERROR, messages.statusFormat, status);
    if (status >= 400 && status <= 499) {
        replyRelayed(conn, status, setCookie, body);
        return status;
    }
    reply(conn, kReply500);
    return 500;
}

void relayServerResponse(mg_connection* conn, const HTTP_Response& response,
                         const std::string& body) {
    int status = response.status();
    if (status < 200 || status > 599) {
        reply(conn, kReply500);
        return;
    }
    bool passCookie = (status >= 200 && status <= 299) || (status >= 400 && status <= 499);
    replyRelayed(conn, status, passCookie ? response.set_cookie() : nullptr, body);
}

}  // namespace portvane
