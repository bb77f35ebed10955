// The name tables of wirekit's numbering: HTTP methods, header slots and
// status reason phrases. Every text is static; any thread.
#pragma once

// Method indices. The remote service's requests use 1 (GET, a reply with a
// body and no request body) and 4 (POST).
enum HTTP_Method_Index {
    HTTP_METHOD_HEAD = 0,
    HTTP_METHOD_GET = 1,
    HTTP_METHOD_DELETE = 2,
    HTTP_METHOD_OPTIONS = 3,
    HTTP_METHOD_POST = 4,  // carries a body
    HTTP_METHOD_PUT = 5,   // carries a body
    HTTP_METHOD_TRACE = 6,
    HTTP_METHOD_CONNECT = 7,
    HTTP_METHOD_PATCH = 8,
    HTTP_METHOD_COUNT = 9
};

// Header slot indices.
enum HTTP_Head_Index {
    HTTP_HEAD_ACCEPT = 0,
    HTTP_HEAD_ACCEPT_CHARSET = 1,
    HTTP_HEAD_ACCEPT_ENCODING = 2,
    HTTP_HEAD_ACCEPT_LANGUAGE = 3,
    HTTP_HEAD_ACCEPT_RANGES = 4,
    HTTP_HEAD_AGE = 5,
    HTTP_HEAD_ALLOW = 6,
    HTTP_HEAD_AUTHORIZATION = 7,
    HTTP_HEAD_CACHE_CONTROL = 8,
    HTTP_HEAD_CONNECTION = 9,
    HTTP_HEAD_CONTENT_ENCODING = 10,
    HTTP_HEAD_CONTENT_LANGUAGE = 11,
    HTTP_HEAD_CONTENT_LENGTH = 12,
    HTTP_HEAD_CONTENT_TYPE = 13,
    HTTP_HEAD_COOKIE = 14,
    HTTP_HEAD_DATE = 15,
    HTTP_HEAD_ETAG = 16,
    HTTP_HEAD_EXPECT = 17,
    HTTP_HEAD_EXPIRES = 18,
    HTTP_HEAD_HOST = 19,
    HTTP_HEAD_IF_MODIFIED_SINCE = 20,
    HTTP_HEAD_KEEP_ALIVE = 21,
    HTTP_HEAD_LAST_MODIFIED = 22,
    HTTP_HEAD_LOCATION = 23,
    HTTP_HEAD_MAX_FORWARDS = 24,
    HTTP_HEAD_ORIGIN = 25,
    HTTP_HEAD_PRAGMA = 26,
    HTTP_HEAD_PROXY_AUTHENTICATE = 27,
    HTTP_HEAD_PROXY_AUTHORIZATION = 28,
    HTTP_HEAD_RANGE = 29,
    HTTP_HEAD_REFERER = 30,
    HTTP_HEAD_RETRY_AFTER = 31,
    HTTP_HEAD_SERVER = 32,
    HTTP_HEAD_TE = 33,
    HTTP_HEAD_TRAILER = 34,
    HTTP_HEAD_TRANSFER_ENCODING = 35,
    HTTP_HEAD_UPGRADE = 36,
    HTTP_HEAD_USER_AGENT = 37,
    HTTP_HEAD_VARY = 38,
    HTTP_HEAD_VIA = 39,
    HTTP_HEAD_WARNING = 40,
    HTTP_HEAD_WWW_AUTHENTICATE = 41,
    HTTP_HEAD_CONTENT_RANGE = 42,
    HTTP_HEAD_SET_COOKIE = 43,
    HTTP_HEAD_X_FORWARDED_FOR = 44,
    HTTP_HEAD_X_CLIENT_KIND = 45,  // "agenttoweb" on every request of the agent
    HTTP_HEAD_X_REQUEST_ID = 46,
    HTTP_HEAD_COUNT = 47
};

// The name of a method index ("POST" for 4); null outside the table.
const char* http_method_string(int method);

// The name of a header slot ("Host" for 19); null outside 0 to 46.
const char* http_head_string(int index);

// The slot index of a header name, compared without regard to case; -1 for a
// null name or a name outside the table.
int http_head_type(const char* name);

// The reason phrase of a status ("Not Found" for 404); "Unknown" for a status
// without one.
const char* http_status_string(int status);

// The value of a hexadecimal digit of either case; -1 for another character.
int hex_digit(char c);
