// The command layer and the request catalogue against the remote-service
// simulator, which checks every body strictly: a 200 from it means the body
// had exactly the keys and types it wants.
#include "job/remote/remote_requests.h"
//
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "common/json.h"
#include "common/md5.h"
#include "job/runs/increment_check.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "tools/testkit/http_script_server.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/remote_service.h"
#include "wirekit/http_timeouts.h"

using tovel::testing::RemoteService;

namespace {

const char* kCookie = "sid=0123456789abcdef0123456789abcdef";
const char* kOtherCookie = "sid=fedcba9876543210fedcba9876543210";

json_spirit::Value parse(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

// The requests the simulator logged, of one kind.
json_spirit::Array requests(const RemoteService& service, const std::string& kind) {
    json_spirit::Value log = parse(service.control("GET", "requests?kind=" + kind));
    return log.get_obj().at("requests").get_array();
}

class ServerCommand : public tovel::testing::LoggedTest {
protected:
    ServerCommand()
        : service_({"--account", "alice:secret", "--cookie", std::string("alice:") + kCookie}) {}

    Invoker& invoker() {
        invoker_.server("127.0.0.1", service_.port(), 0);
        return invoker_;
    }
    std::string startJob(const std::string& cookie, const char* name = "Start Job") {
        Command_To_Server<Start_Job_Request, Response_T<json_spirit::Value>> command(name);
        command.request().build(cookie, "job-1", "instance-1", 1, 2, 3, nullptr);
        EXPECT_EQ(invoker().invokeWithRetry(command), 0);
        status_ = command.response().status();
        return command.response().body().is_null() ? ""
                                                   : json_spirit::write(command.response().body());
    }

    RemoteService service_;
    Invoker invoker_;
    int status_ = 0;
};

// A loopback port that nothing listens on.
unsigned short free_port() {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    close(probe);
    return ntohs(address.sin_port);
}

CookieManagerImpl& cookies() {
    return *ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

}  // namespace

TEST_F(ServerCommand, JsonRequestsReachTheServerInTheirForm) {
    json_spirit::Value reply = parse(startJob(kCookie));
    EXPECT_EQ(status_, 200);
    EXPECT_EQ(reply.get_obj().at("port").get_int(), service_.port());
    json_spirit::Array sent = requests(service_, "start_job");
    ASSERT_EQ(sent.size(), 1u);
    const json_spirit::Object& request = sent[0].get_obj();
    EXPECT_EQ(request.at("body").get_obj().at("starttime").get_str(), "unknown");
    EXPECT_EQ(request.at("method").get_str(), "POST");
    EXPECT_EQ(request.at("path").get_str(), remote_paths::kStartJob);

    // The same connection carries the next request, and a text request with
    // an empty body goes out with Content-Length 0.
    Command_To_Server<Get_MD5_of_Keys_Reqeust, Response_T<json_spirit::Value>> keys("Get Key MD5");
    ASSERT_TRUE(keys.request().build(kCookie));
    ASSERT_EQ(invoker_.invokeWithRetry(keys), 0);
    EXPECT_EQ(keys.response().status(), 200);
    EXPECT_EQ(keys.response().body().get_obj().at("md5").get_str(), "");
    json_spirit::Array got = requests(service_, "get_key_md5");
    ASSERT_EQ(got.size(), 1u);
    const json_spirit::Object& headers = got[0].get_obj().at("headers").get_obj();
    auto length = headers.find("Content-Length");
    ASSERT_NE(length, headers.end());
    EXPECT_EQ(length->second.get_str(), "0");
}

TEST_F(ServerCommand, ARequestWithABadArgumentIsLoggedAndNeverSent) {
    Command_To_Server<Submit_Errors_Request, Response_T<std::string>> command("Submit Error");
    SetLastError(0);
    EXPECT_FALSE(command.request().build(kCookie, "instance-1", json_spirit::Value()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_NE(logged().find("Invalid errors information."), std::string::npos);
    SetLastError(0);
    EXPECT_EQ(invoker().invokeWithRetry(command), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(logged().find("retrying"), std::string::npos);
    EXPECT_TRUE(requests(service_, "submit_errors").empty());

    Stop_Job_Request stop;
    EXPECT_FALSE(stop.build("", "instance-1"));
    EXPECT_NE(logged().find("The cookie is empty."), std::string::npos);
    Increament_Check_Request check;
    EXPECT_FALSE(check.build("", "{}", 0));
    EXPECT_NE(logged().find("The Cookie is empty."), std::string::npos);
}

TEST_F(ServerCommand, ARefusedConnectionIsRetriedOnceAndFails) {
    Invoker invoker;
    ASSERT_TRUE(invoker.server("127.0.0.1", free_port(), 0));
    Command<Stop_Job_Request, Response_T<std::string>> command("Stop Job");
    command.request().build(kCookie, "instance-1");
    EXPECT_EQ(invoker.invokeWithRetry(command), -1);
    EXPECT_EQ(GetLastError(), 10061u);
    std::string log = logged();
    EXPECT_NE(log.find("Stop Job: Connect to server failed. error = 10061."), std::string::npos);
    size_t retry = log.find("Stop Job: Failed, retrying...");
    ASSERT_NE(retry, std::string::npos);
    EXPECT_EQ(log.find("Stop Job: Failed, retrying", retry + 1), std::string::npos) << log;
    EXPECT_EQ(log.find("Send request failed"), std::string::npos);  // the retry connected anew
}

TEST_F(ServerCommand, WithoutAServerInTheSettingsEveryAttemptFails) {
    Web_Server_Invoker invoker;
    EXPECT_FALSE(invoker.hasServer());
    Command<Stop_Job_Request, Response_T<std::string>> command("Stop Job");
    EXPECT_EQ(invoker.invokeWithRetry(command), -1);
    EXPECT_EQ(command.state(), CMD_CONNECT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_NE(logged().find("Invalid host name or port, host = , port = 80."), std::string::npos);
}

TEST_F(ServerCommand, AnExpiredSessionIsRetriedWithTheUsersOtherCookie) {
    ASSERT_TRUE(cookies().saveCookie("alice", kOtherCookie));  // unknown to the server
    ASSERT_TRUE(cookies().saveCookie("alice", kCookie));
    startJob(kOtherCookie);
    EXPECT_EQ(status_, 200);
    std::string user;
    EXPECT_FALSE(cookies().findUser(kOtherCookie, user));  // the refused one is gone
    EXPECT_TRUE(cookies().findUser(kCookie, user));
    json_spirit::Array sent = requests(service_, "start_job");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].get_obj().at("status").get_int(), 401);

    // With no other cookie left the 401 is the answer.
    service_.control("POST", "sessions/expire", "{}");
    startJob(kCookie);
    EXPECT_EQ(status_, 401);
    EXPECT_FALSE(cookies().findUser(kCookie, user));
}

TEST_F(ServerCommand, ANewSessionCookieReplacesTheOldOneForItsUser) {
    ASSERT_TRUE(cookies().saveCookie("alice", kCookie));
    service_.control("POST", "faults",
                     R"({"kind":"start_job","action":"rotate_cookie","times":1})");
    startJob(kCookie);
    EXPECT_EQ(status_, 200);
    std::string user, fresh;
    EXPECT_FALSE(cookies().findUser(kCookie, user));
    ASSERT_TRUE(cookies().findCookie("alice", fresh));
    EXPECT_NE(fresh, kCookie);
    startJob(fresh);  // the server knows it
    EXPECT_EQ(status_, 200);

    // The command hands the new cookie back to its caller.
    service_.control("POST", "faults", R"({"kind":"stop_job","action":"rotate_cookie","times":1})");
    Command_To_Server<Stop_Job_Request, Response_T<std::string>> stop("Stop Job");
    stop.request().build(fresh, "instance-1");
    ASSERT_EQ(invoker_.invokeWithRetry(stop), 0);
    std::string newest;
    ASSERT_TRUE(cookies().findCookie("alice", newest));
    EXPECT_NE(newest, fresh);
    EXPECT_EQ(std::string(stop.request().cookie()), newest);
}

TEST_F(ServerCommand, RedirectsAreFollowedUnlessTheyNameNoUsablePort) {
    service_.control("POST", "faults",
                     R"({"kind":"start_job","action":"redirect","times":1,)"
                     R"("location":"http://127.0.0.1:{port}/tovel/WebServer/jobs/StartJob.php"})");
    startJob(kCookie);
    EXPECT_EQ(status_, 200);
    EXPECT_EQ(requests(service_, "start_job").size(), 2u);

    service_.control("POST", "faults",
                     R"({"kind":"start_job","action":"redirect","times":1,)"
                     R"("location":"http://127.0.0.1:0/tovel/WebServer/jobs/StartJob.php"})");
    startJob(kCookie);
    EXPECT_EQ(status_, 302);  // handled as the final answer

    // A loop ends after five redirects with the sixth answer.
    service_.control("POST", "requests/clear");
    service_.control("POST", "faults", R"({"kind":"start_job","action":"redirect"})");
    startJob(kCookie);
    EXPECT_EQ(status_, 302);
    EXPECT_EQ(requests(service_, "start_job").size(), 6u);
    EXPECT_NE(logged().find("Start Job: too many redirects."), std::string::npos);
}

// A session cookie is for the server it was sent to: a redirect to another host name or port
// is the final reply of a request that carries one, and nothing reaches the place it names. A
// request without a cookie or credentials still goes there.
TEST_F(ServerCommand, ARequestWithACookieFollowsNoRedirectToAnotherServer) {
    std::atomic<int> heads{0};
    tovel::testing::HttpScriptServer elsewhere([&](tovel::testing::HttpPeer& peer) {
        for (std::string head = peer.read_head(); !head.empty(); head = peer.read_head()) {
            ++heads;
            peer.send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        }
    });
    ASSERT_TRUE(elsewhere.listening());
    const std::string there = "127.0.0.1:" + std::to_string(elsewhere.port());
    for (const std::string& location :
         {std::string("http://localhost:{port}/tovel/WebServer/jobs/StartJob.php"),
          "http://" + there + "/tovel/WebServer/jobs/StartJob.php", "http://" + there + "/"}) {
        service_.control("POST", "requests/clear");
        service_.control("POST", "faults",
                         R"({"kind":"start_job","action":"redirect","status":307,"times":1,)"
                         R"("location":")" +
                             location + R"("})");
        startJob(kCookie);
        EXPECT_EQ(status_, 307) << location;
        EXPECT_EQ(requests(service_, "start_job").size(), 1u) << location;
        EXPECT_EQ(invoker_.currentHost(), "127.0.0.1");
    }
    EXPECT_EQ(elsewhere.accepted(), 0);
    EXPECT_NE(logged().find("Start Job: redirect to another server not followed, the request "
                            "carries credentials."),
              std::string::npos);

    // Without a cookie the request goes on to the other server; the next command of the invoker
    // starts at the configured one again, with its cookie.
    service_.control("POST", "faults",
                     R"({"kind":"stop_job","action":"redirect","times":1,"location":"http://)" +
                         there + R"(/second"})");
    Command<Stop_Job_Request, Response_T<std::string>> bare("Stop Job");
    bare.request().build(kCookie, "instance-1");
    bare.request().cookie(nullptr);
    ASSERT_EQ(invoker().invokeWithRetry(bare), 0);
    EXPECT_EQ(bare.response().body(), "ok");
    EXPECT_EQ(heads, 1);
    EXPECT_EQ(invoker_.currentHost(), "127.0.0.1");
    EXPECT_EQ(invoker_.currentPort(), service_.port());
    Command_To_Server<Stop_Job_Request, Response_T<std::string>> stop("Stop Job");
    stop.request().build(kCookie, "instance-1");
    ASSERT_EQ(invoker_.invokeWithRetry(stop), 0);
    json_spirit::Array sent = requests(service_, "stop_job");
    ASSERT_EQ(sent.size(), 2u);
    const json_spirit::Object& headers = sent[1].get_obj().at("headers").get_obj();
    EXPECT_EQ(headers.at("Cookie").get_str(), kCookie);
}

TEST_F(ServerCommand, RepliesThatAreNotJsonLeaveANullBody) {
    service_.control("POST", "faults", R"({"kind":"start_job","action":"malformed_json"})");
    EXPECT_EQ(startJob(kCookie), "");
    EXPECT_EQ(status_, 200);
    EXPECT_NE(logged().find("Response data is not json_object type"), std::string::npos);

    service_.control("POST", "faults/clear", "{}");
    service_.control("POST", "settings", R"({"chunked":true,"chunk_size":3})");
    EXPECT_FALSE(startJob(kCookie).empty());  // chunked replies read whole
}

TEST_F(ServerCommand, AServerThatNeverAnswersTimesOut) {
    HTTP_Timeouts quick;
    quick.connect_ms = quick.send_ms = quick.recv_ms = 300;
    set_http_client_timeouts(quick);
    service_.control("POST", "faults", R"({"kind":"stop_job","action":"stall"})");
    Command_To_Server<Stop_Job_Request, Response_T<std::string>> command("Stop Job");
    command.request().build(kCookie, "instance-1");
    EXPECT_EQ(invoker().invokeWithRetry(command), -1);
    EXPECT_EQ(GetLastError(), 10060u);
    EXPECT_EQ(command.state(), CMD_RECEIVE_FAILED);
}

TEST_F(ServerCommand, BlocksGoUpAsMultipartFormsAndComeBackWithTheirDigest) {
    startJob(kCookie);
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    attributes.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    attributes.nFileSizeLow = 5;
    Command_To_Server<Upload_File_Request, Response_T<std::string>> file("Upload File");
    ASSERT_TRUE(file.request().build(kCookie, "instance-1", "C:\\a.txt", attributes, 5, 1));
    ASSERT_EQ(invoker_.invokeWithRetry(file), 0);
    ASSERT_EQ(file.response().status(), 200) << file.response().body();

    const char data[] = "hello";
    std::string digest = MD5(std::string(data, 5)).hexdigest();
    Command_To_Server<Upload_Data_Request, Response_T<std::string>> block("Upload Data");
    ASSERT_TRUE(block.request().build(kCookie, "instance-1", "C:\\a.txt", 1, digest, data, 5));
    ASSERT_EQ(invoker_.invokeWithRetry(block), 0);
    EXPECT_EQ(block.response().status(), 200) << block.response().body();
    EXPECT_EQ(service_.control("GET", "file?instance=instance-1&name=C:%5Ca.txt"), "hello\n");

    Command_To_Server<Upload_Data_Request, Response_T<std::string>> bad("Upload Data");
    ASSERT_TRUE(
        bad.request().build(kCookie, "instance-1", "C:\\a.txt", 1, std::string(32, '0'), data, 5));
    ASSERT_EQ(invoker_.invokeWithRetry(bad), 0);
    EXPECT_EQ(bad.response().status(), 406);

    Command_To_Server<End_Job_Request, Response_T<std::string>> end("End Job");
    end.request().build(kCookie, "instance-1", "2026-12-09 01:02:03");
    ASSERT_EQ(invoker_.invokeWithRetry(end), 0);
    EXPECT_EQ(end.response().status(), 200) << end.response().body();

    EXPECT_FALSE(Download_Data_Request().build(kCookie, "HOST", "instance-1", "C:\\a.txt", "", 1));
    Command_To_Server<Download_Data_Request, Response_T<Download_Data_Type>> down("Download Data");
    ASSERT_TRUE(down.request().build(kCookie, "HOST", "instance-1", "C:", "a.txt", 1));
    ASSERT_EQ(invoker_.invokeWithRetry(down), 0);
    ASSERT_EQ(down.response().status(), 200);
    const Download_Data_Type& body = down.response().body();
    ASSERT_EQ(body.size(), 37u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(body.data()), 32), digest);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(body.data()) + 32, 5), "hello");

    // A chunked reply announces no length: the block is what arrives.
    service_.control("POST", "settings", R"({"chunked":true,"chunk_size":7})");
    Command_To_Server<Download_Data_Request, Response_T<Download_Data_Type>> chunked("Download");
    ASSERT_TRUE(chunked.request().build(kCookie, "HOST", "instance-1", "C:", "a.txt", 1));
    ASSERT_EQ(invoker_.invokeWithRetry(chunked), 0);
    EXPECT_EQ(chunked.response().body().size(), 37u);
}

// The requests of the other runs: the increment check, the restore run and
// the key checksum, each answered 200 by the strict simulator.
TEST_F(ServerCommand, IncrementRestoreAndKeyRequestsAreAccepted) {
    Command_To_Server<Increament_Check_Request, Response_T<Path_List>> increment("increment check");
    ASSERT_TRUE(increment.request().build(
        kCookie, R"({"id":"job-1","source":[{"mtimeHigh":1,"mtimeLow":-2,"path":"C:\\a.txt"}]})",
        11));
    ASSERT_EQ(invoker().invokeWithRetry(increment), 0);
    ASSERT_EQ(increment.response().status(), 200);
    EXPECT_TRUE(increment.response().body().array);
    EXPECT_EQ(increment.response().body().paths, std::vector<std::string>{"C:\\a.txt"});

    Command_To_Server<Start_Restore_Job_Request, Response_T<json_spirit::Value>> restore(
        "Start Restore Job");
    ASSERT_TRUE(restore.request().build(kCookie, "job-1", "restore-1"));
    ASSERT_EQ(invoker_.invokeWithRetry(restore), 0);
    EXPECT_EQ(restore.response().status(), 200);

    Command_To_Server<Get_File_Info_Request, Response_T<json_spirit::Value>> info("Get File Info");
    ASSERT_TRUE(info.request().build(kCookie, "HOST", "instance-0", "C:\\a.txt", nullptr));
    ASSERT_EQ(invoker_.invokeWithRetry(info), 0);
    EXPECT_EQ(info.response().status(), 404);  // nothing was backed up

    json_spirit::Object history;
    history["instanceId"] = "restore-1";
    Command_To_Server<Submit_History_Request, Response_T<std::string>> submit("Submit History");
    ASSERT_TRUE(submit.request().build(kCookie, json_spirit::write(history)));
    ASSERT_EQ(invoker_.invokeWithRetry(submit), 0);
    EXPECT_EQ(submit.response().status(), 200) << submit.response().body();

    std::string md5(32, 'a');
    Command_To_Server<Export_MD5_of_Keys_Reqeust, Response_T<std::string>> exported(
        "Export Key MD5");
    ASSERT_TRUE(exported.request().build(kCookie, md5));
    ASSERT_EQ(invoker_.invokeWithRetry(exported), 0);
    EXPECT_EQ(exported.response().status(), 200);
    Command_To_Server<Get_MD5_of_Keys_Reqeust, Response_T<json_spirit::Value>> keys("Get Key MD5");
    ASSERT_TRUE(keys.request().build(kCookie));
    ASSERT_EQ(invoker_.invokeWithRetry(keys), 0);
    EXPECT_EQ(keys.response().body().get_obj().at("md5").get_str(), md5);
}

// A relative Location names no host: it is the final reply, never read as
// one ("/tovel/WebServer/..." once went to a host "WebServer").
TEST_F(ServerCommand, ARelativeLocationIsTheFinalReply) {
    service_.control("POST", "faults",
                     R"({"kind":"start_job","action":"redirect","times":1,)"
                     R"("location":"/tovel/WebServer/jobs/StartJob.php"})");
    startJob(kCookie);
    EXPECT_EQ(status_, 302);
    EXPECT_EQ(requests(service_, "start_job").size(), 1u);
    EXPECT_EQ(logged().find("Connect to server failed"), std::string::npos);
    EXPECT_EQ(invoker_.currentHost(), "127.0.0.1");
}

// A request marked chunked still goes out with its Content-Length alone,
// whole: the strict simulator takes it.
TEST_F(ServerCommand, ARequestMarkedChunkedGoesOutWithItsLength) {
    Command_To_Server<Start_Job_Request, Response_T<json_spirit::Value>> command("Start Job");
    command.request().build(kCookie, "job-1", "instance-1", 1, 2, 3, nullptr);
    command.request().chunked_transfer_encoding(true);
    ASSERT_EQ(invoker().invokeWithRetry(command), 0);
    EXPECT_EQ(command.response().status(), 200);
    json_spirit::Array sent = requests(service_, "start_job");
    ASSERT_EQ(sent.size(), 1u);
    const json_spirit::Object& headers = sent[0].get_obj().at("headers").get_obj();
    EXPECT_EQ(headers.find("Transfer-Encoding"), headers.end());
    EXPECT_NE(headers.find("Content-Length"), headers.end());
}

// An IPv6 server: its address goes out in brackets in the Host header, and
// a redirect to a bracketed address with a port is followed.
TEST(ServerCommandIpv6, TheHostHeaderAndARedirectBracketTheAddress) {
    std::mutex lock;
    std::vector<std::string> heads;
    unsigned short port = 0;
    tovel::testing::HttpScriptServer server(
        [&](tovel::testing::HttpPeer& peer) {
            for (std::string head = peer.read_head(); !head.empty(); head = peer.read_head()) {
                bool first = false;
                {
                    std::lock_guard<std::mutex> guard(lock);
                    heads.push_back(head);
                    first = heads.size() == 1;
                }
                std::string location = "http://[::1]:" + std::to_string(port) + "/second";
                peer.send(first ? "HTTP/1.1 302 Found\r\nLocation: " + location +
                                      "\r\nContent-Length: 0\r\n\r\n"
                                : "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
            }
        },
        0, true);
    if (!server.listening()) GTEST_SKIP() << "no IPv6 loopback on this machine";
    port = server.port();
    Invoker invoker;
    ASSERT_TRUE(invoker.server("::1", port, 0));
    Command<Stop_Job_Request, Response_T<std::string>> command("Stop Job");
    command.request().build(kCookie, "instance-1");
    ASSERT_EQ(invoker.invokeWithRetry(command), 0);
    EXPECT_EQ(command.response().status(), 200);
    EXPECT_EQ(command.response().body(), "ok");
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_NE(heads[0].find("\r\nHost: [::1]\r\n"), std::string::npos) << heads[0];
    // (The script reads heads only: the first request's body comes before it.)
    EXPECT_NE(heads[1].find("POST /second HTTP/1.1\r\n"), std::string::npos) << heads[1];
    EXPECT_NE(heads[1].find("Cookie: " + std::string(kCookie)), std::string::npos)
        << "the same host keeps its cookie";
}

// A 401 whose cookie cannot be removed (another holder keeps the store's
// lock past its wait): the same cookie would be found and sent again for
// ever, so the reply fails the exchange instead, and the cookie stays.
TEST_F(ServerCommand, ARefusedCookieThatCannotBeRemovedFailsTheExchange) {
    ASSERT_TRUE(cookies().saveCookie("alice", kCookie));
    std::atomic<bool> held{false}, done{false};
    std::thread holder([&] {
        HANDLE lock = CreateMutexW(nullptr, FALSE, L"Global\\tovel.store.cookies");
        WaitForSingleObject(lock, INFINITE);
        held = true;
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ReleaseMutex(lock);
        CloseHandle(lock);
    });
    while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    HTTP_Request request;
    request.cookie(kCookie);
    HTTP_Response response;
    response.status(401);
    EXPECT_EQ(update_session_cookie(request, response), Cookie_Upkeep::FAILED);
    done = true;
    holder.join();
    EXPECT_STREQ(request.cookie(), kCookie);
    EXPECT_TRUE(cookies().isCookieValid(kCookie));
}
