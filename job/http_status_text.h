// The reason phrases of HTTP statuses, for error texts of remote failures.
#pragma once

// The phrase of a status ("Not Found" for 404); "Unknown" for a status
// without one. The text is static.
const char* http_status_string(int status);
