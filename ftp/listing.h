// Directory listing over FTP, or a login test.
#pragma once

// Logs in anonymously to host, changes to path (when not null) and writes
// the LIST output to filename.  With filename null only the login and the
// directory change are tested.  1 on success, 0 on failure.
int ftp_scan(const char* host, const char* path, const char* filename);
