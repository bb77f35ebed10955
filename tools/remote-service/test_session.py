"""Accounts, logins, session cookies and the key checksums."""

import json
import time
import unittest

from simtest import PATHS, ServiceCase, raw_exchange

MD5 = "0123456789abcdef0123456789abcdef"


class SessionTest(ServiceCase):

    def test_login_sets_a_bare_session_cookie(self):
        c = self.client()
        status, headers, body = c.raw("POST", PATHS["login"],
                                      json.dumps({"name": "bob", "passwd": "hunter2"}).encode())
        self.assertEqual(status, 200)
        self.assertRegex(headers["Set-Cookie"], r"^sid=[0-9a-f]{32}$")
        self.assertEqual(json.loads(body)["user"], "bob")

    def test_wrong_password_and_bad_bodies(self):
        c = self.client()
        self.assertEqual(c.login("alice", "wrong"), 401)
        self.assertEqual(c.login("nobody", "secret"), 401)
        self.assertEqual(c.call("login", {"name": "alice"})[0], 400)
        self.assertEqual(c.raw("POST", PATHS["login"], b"name=alice")[0], 400)

    def test_requests_without_a_known_session_are_401(self):
        for cookie in (None, "sid=feedface", "other=1"):
            c = self.client(cookie)
            status, reply = c.call("get_key_md5")
            self.assertEqual(status, 401, cookie)
            self.assertIn("error", reply)

    def test_server_status_by_get_without_a_session(self):
        c = self.client()
        status, headers, body = c.raw("GET", PATHS["server_status"])
        self.assertEqual((status, body), (200, b"running"))
        self.assertTrue(headers["Content-Type"].startswith("text/plain"))
        self.assertEqual(c.raw("POST", PATHS["server_status"])[0], 405)
        self.assertEqual(c.raw("GET", PATHS["server_status"], b"x")[0], 400)
        self.fault(kind="server_status", action="status", status=500, body="down", times=1)
        self.assertEqual(c.raw("GET", PATHS["server_status"])[::2], (500, b"down"))
        self.assertEqual([(r["method"], r["status"]) for r in self.requests("server_status")],
                         [("GET", 200), ("POST", 405), ("GET", 400), ("GET", 500)])

    def test_cookie_header_with_other_pairs(self):
        c = self.client("theme=dark; " + self.alice.cookie + "; x=y")
        self.assertEqual(c.call("get_key_md5")[0], 200)

    def test_expire_by_user_and_by_cookie(self):
        bob = self.client()
        bob.login("bob", "hunter2")
        _, reply = self.admin.control("POST", "sessions/expire", {"user": "alice"})
        self.assertEqual(reply, {"expired": 1})
        self.assertEqual(self.alice.call("get_key_md5")[0], 401)
        self.assertEqual(bob.call("get_key_md5")[0], 200)
        self.admin.control("POST", "sessions/expire", {"cookie": bob.cookie})
        self.assertEqual(bob.call("get_key_md5")[0], 401)
        # A new login gives a working cookie again.
        self.assertEqual(self.alice.login("alice", "secret"), 200)
        self.assertEqual(self.alice.call("get_key_md5")[0], 200)

    def test_expire_all(self):
        self.admin.control("POST", "sessions/expire")
        self.assertEqual(self.alice.call("get_key_md5")[0], 401)

    def test_sessions_made_by_the_control_endpoint(self):
        _, reply = self.admin.control("POST", "sessions", {"user": "bob", "cookie": "sid=fixed"})
        self.assertEqual(reply, {"cookie": "sid=fixed"})
        self.assertEqual(self.client("sid=fixed").call("get_key_md5")[0], 200)
        self.assertEqual(self.admin.control("POST", "sessions", {"user": "nobody"})[0], 404)
        _, listed = self.admin.control("GET", "sessions")
        self.assertIn({"cookie": "sid=fixed", "user": "bob"},
                      [{"cookie": s["cookie"], "user": s["user"]} for s in listed["sessions"]])

    def test_unused_sessions_expire_after_the_ttl(self):
        self.admin.control("POST", "settings", {"session_ttl": 0.3})
        self.assertEqual(self.alice.call("get_key_md5")[0], 200)
        time.sleep(0.2)
        self.assertEqual(self.alice.call("get_key_md5")[0], 200)   # use renews it
        time.sleep(0.5)
        self.assertEqual(self.alice.call("get_key_md5")[0], 401)

    def test_logout_ends_the_session(self):
        self.assertEqual(self.alice.call("logout")[0], 200)
        self.assertEqual(self.alice.call("get_key_md5")[0], 401)
        self.assertEqual(self.client().call("logout")[0], 200)

    def test_rotated_cookie_replaces_the_old_one(self):
        self.fault(kind="get_key_md5", action="rotate_cookie", times=1)
        old = self.alice.cookie
        status, headers, _ = self.alice.raw("POST", PATHS["get_key_md5"])
        self.assertEqual(status, 200)
        fresh = headers["Set-Cookie"]
        self.assertNotEqual(fresh, old)
        self.assertEqual(self.client(old).call("get_key_md5")[0], 401)
        self.assertEqual(self.client(fresh).call("get_key_md5")[0], 200)


class KeyChecksumTest(ServiceCase):

    def test_register_and_read_back(self):
        self.assertEqual(self.alice.call("get_key_md5"), (200, {"md5": ""}))
        self.assertEqual(self.alice.call("export_key_md5", {"md5": MD5})[0], 200)
        self.assertEqual(self.alice.call("get_key_md5"), (200, {"md5": MD5}))
        bob = self.client()
        bob.login("bob", "hunter2")
        self.assertEqual(bob.call("get_key_md5"), (200, {"md5": ""}))
        self.assertEqual(self.admin.control("GET", "keys")[1], {"keys": {"alice": MD5}})

    def test_checks(self):
        self.assertEqual(self.alice.call("export_key_md5", {"md5": MD5.upper()})[0], 400)
        self.assertEqual(self.alice.call("export_key_md5", {"md5": ""})[0], 400)
        self.assertEqual(self.alice.call("export_key_md5", {})[0], 400)
        # Reading the checksum carries no body.
        self.assertEqual(self.alice.call("get_key_md5", {})[0], 400)
        request = ("POST %s HTTP/1.1\r\nHost: h\r\nCookie: %s\r\n\r\n"
                   % (PATHS["get_key_md5"], self.alice.cookie)).encode()
        self.assertTrue(raw_exchange(self.service.web_port, request).startswith(
            b"HTTP/1.1 411 "))

    def test_server_side_changes(self):
        self.admin.control("POST", "keys", {"user": "alice", "md5": MD5})
        self.assertEqual(self.alice.call("get_key_md5")[1], {"md5": MD5})
        self.admin.control("POST", "keys", {"user": "alice", "md5": ""})
        self.assertEqual(self.alice.call("get_key_md5")[1], {"md5": ""})


if __name__ == "__main__":
    unittest.main()
