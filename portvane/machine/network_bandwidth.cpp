// "/networksbandwidth": a figure for the speed of the network path to the remote web server.
#include "portvane/forwarding.h"
//
#include <exception>

#include "portvane/machine/bandwidth.h"

using namespace tovel::web;
using portvane::reply;

// GET: {"bandwidth": "<figure>"}; 500 when the test fails or no echo reply came at all.
extern "C" void network_bandwidth_callback(mg_connection* conn, const mg_request_info* request) {
    std::string uri = request->uri ? request->uri : "";
    if (uri.compare(0, 18, "/networksbandwidth") != 0) {
        reply(conn, portvane::kReply404);
        return;
    }
    if (!portvane::methodIs(request, "GET")) {
        reply(conn, portvane::kReply403);
        return;
    }
    std::string host = portvane::serverAddress().host;
    try {
        std::string figure = portvane::BandwidthProbe().measure(host);
        portvane::replyJson(
            conn,
            json_spirit::write(json_spirit::Value(json_spirit::Object{{"bandwidth", figure}})));
    } catch (const std::exception& error) {
        log_message(LM_ERROR, "Network bandwidth test failed, %s.\n", error.what());
        reply(conn, portvane::kReply500);
    }
}
