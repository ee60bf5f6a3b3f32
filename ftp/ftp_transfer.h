// Download of one ftp:// URL into a local file.
#pragma once

// 1: the whole file arrived and was written; -1: SIZE was answered 550 and
// the transfer never started; 0: any other failure.
int ftp_transfer(const char* url, const char* ofile, void (*dl_status)(int));
