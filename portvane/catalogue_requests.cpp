#include "portvane/catalogue_requests.h"

bool List_Restorable_Machines_Request::build(const std::string& cookie) {
    if (!cookieGiven(cookie)) return false;
    return accept(cookie, std::string());
}

bool List_Definitions_by_Machine_Request::build(const std::string& cookie,
                                                const std::string& machine) {
    if (!cookieGiven(cookie)) return false;
    if (machine.empty()) return refuse("Invalid machine name.\n");
    return accept(cookie, json_spirit::Object{{"machine", machine}});
}

bool Offline_Job_Body_Request::build(const std::string& cookie, const std::string& body) {
    if (!cookieGiven(cookie)) return false;
    if (body.empty()) return refuse("Invalid offline job information.\n");
    return accept(cookie, body);
}

bool List_Offline_Jobs_Request::build(const std::string& cookie) {
    if (!cookieGiven(cookie)) return false;
    return accept(cookie, std::string());
}
