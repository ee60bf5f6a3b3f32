// Narrowing of a UTF-16 text file (with byte-order mark) to single bytes.
#pragma once

// Converts filename in place when it starts with FF FE or FE FF: each chunk
// keeps every other byte (the low byte of each code unit) and drops zeros.
// 1: the file is fit to read (converted, not UTF-16, or filename is null).
// 0: it could not be read, or the converted text could not replace it; the
//    file is then left as it was.
// Not the C library's iconv: that one takes a conversion descriptor.
int iconv(const char* filename);

inline constexpr const char narrow_temp_path[] = "/tmp/xxx-2008";
