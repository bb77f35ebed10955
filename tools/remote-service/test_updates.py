"""The update files (md5 text, size by HEAD, ranged download) and the user's
account information."""

import hashlib
import json
import os
import unittest

from simtest import ServiceCase

MD5_PATH = "/tovel/updates/Tovel.exe.md5sum"
INSTALLER = "/tovel/updates/Tovel.exe"
USER_INFO = "/tovel/WebServer/UserInfo.php"


class UpdatesTest(ServiceCase):

    def setUp(self):
        super().setUp()
        self.data = bytes(range(256)) * 40 + b"tail"
        self.installer = os.path.join(self.state, "installer.bin")
        with open(self.installer, "wb") as out:
            out.write(self.data)
        self.assertEqual(self.updates(installer=self.installer)[0], 200)

    def updates(self, **body):
        return self.admin.control("POST", "updates", body)

    def test_md5_size_and_whole_file_without_a_session(self):
        c = self.client()
        status, headers, body = c.raw("GET", MD5_PATH)
        self.assertEqual((status, body), (200, hashlib.md5(self.data).hexdigest().encode()))
        # HEAD: the length, no body, and the connection goes on.
        status, headers, body = c.raw("HEAD", INSTALLER)
        self.assertEqual((status, body), (200, b""))
        self.assertEqual(headers["Content-Length"], str(len(self.data)))
        self.assertEqual(headers["Connection"], "keep-alive")
        status, headers, body = c.raw("GET", INSTALLER)
        self.assertEqual((status, body), (200, self.data))
        self.assertEqual([r["kind"] for r in self.requests()][1:],  # after the login
                         ["update_md5", "update_size", "update_download"])
        # A new file is a new version.
        with open(self.installer, "ab") as out:
            out.write(b"v2")
        self.assertEqual(c.raw("GET", MD5_PATH)[2],
                         hashlib.md5(self.data + b"v2").hexdigest().encode())

    def test_ranges(self):
        c = self.client()
        n = len(self.data)
        status, headers, body = c.raw("GET", INSTALLER, headers={"RANGE": "bytes=100-"})
        self.assertEqual((status, body), (206, self.data[100:]))
        self.assertEqual(headers["Content-Range"], "bytes 100-%d/%d" % (n - 1, n))
        for wanted in ("bytes=%d-" % n, "bytes=%d-" % (n + 5), "bytes=x-", "lines=1-"):
            status, headers, body = c.raw("GET", INSTALLER, headers={"Range": wanted})
            self.assertEqual((status, body), (416, b""), wanted)
            self.assertEqual(headers["Content-Range"], "bytes */%d" % n)
        logged = self.requests("update_download")
        self.assertEqual(logged[0]["range"], "bytes=100-")
        self.assertEqual(logged[0]["status"], 206)
        self.updates(ignore_range=True)
        self.assertEqual(c.raw("GET", INSTALLER, headers={"Range": "bytes=100-"})[::2],
                         (200, self.data))

    def test_switches(self):
        c = self.client()
        md5 = hashlib.md5(self.data).hexdigest()
        self.updates(md5_crlf=True, md5_upper=True)
        self.assertEqual(c.raw("GET", MD5_PATH)[2], (md5.upper() + "\r\n").encode())
        self.updates(md5_crlf=False, md5_upper=False, md5_pad_to=1000)
        body = c.raw("GET", MD5_PATH)[2]
        self.assertEqual((len(body), body[:32]), (1000, md5.encode()))
        self.updates(head_without_length=True)
        status, headers, body = c.raw("HEAD", INSTALLER)
        self.assertEqual((status, body), (200, b""))
        self.assertNotIn("Content-Length", headers)
        self.assertEqual(self.updates(bogus=True)[0], 400)
        self.updates(installer=None)
        self.assertEqual(c.raw("GET", MD5_PATH)[0], 404)

    def test_user_info_needs_a_session(self):
        status, _, body = self.alice.raw("GET", USER_INFO)
        self.assertEqual(status, 200)
        info = json.loads(body)
        self.assertEqual(sorted(info), ["name", "quota", "used"])
        self.assertEqual(info["name"], "alice")
        self.assertEqual(self.client().raw("GET", USER_INFO)[0], 401)
        self.assertEqual(self.alice.raw("POST", USER_INFO)[0], 405)


if __name__ == "__main__":
    unittest.main()
