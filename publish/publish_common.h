// The parts of kestrel-publish that a new release and a rollout change share:
// checks of what the operator gives, the files of a release under ROOT, and
// the signing tool.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

#include "internal/unique_fd.h"
#include "updater/updater.h"

namespace kestrel {

constexpr const char default_prefix[] = "/sw-apps/dbg_log_collect/";
constexpr const char control_name[] = "fileinfo.txt";
constexpr const char payload_name[] = "dbg-gen.cfg";
// The router composes prefix, module and file name into 255 characters; the
// longest name it asks for is the control file's signature.
constexpr std::size_t router_path_max = 255;
constexpr const char longest_name[] = "/fileinfo.txt.sig";
constexpr std::size_t path_max = 4096;

enum class encoding { utf8, utf16le, utf16be };

// One file of the release: its final path, the temporary it is written to,
// and its name below ROOT for the summary.
struct release_file {
    char path[path_max];
    char temp[path_max];
    const char* shown;
    bool written = false;
};

// The directories a release had to make, so that a refusal can take them
// away again: each is dir cut at one of the offsets.
struct made_dirs {
    std::size_t ends[64];
    std::size_t count = 0;
};

// What a refusal after the first change below ROOT must undo.
struct undo {
    release_file* files;
    const char* dir;
    made_dirs made;
    void operator()();
};

bool is_digit(char c);
const char* shown_char(char c, char (&buf)[8]);
bool check_module(const char* module, char (&lower)[16], char (&reason)[256]);
bool check_prefix(const char* prefix, char (&reason)[256]);
bool make_scratch(char (&path)[64], unique_fd& fd);
bool write_all(int fd, const void* data, std::size_t len);
bool copy_into(const char* from, int out, unsigned long long& size);
bool read_control_file(const char* path, control_record& rec);
const char* signing_tool();
bool sign(const char* tool, const char* seckey, const char* file, const char* sig, char (&why)[256]);
bool make_dirs(const char* dir, std::size_t root_len, made_dirs& made);
void remove_made_dirs(const char* dir, const made_dirs& made);
bool write_control_file(int fd, const char* text, encoding enc);
void remove_temps(release_file* files, std::size_t count);
int percent_value(const char* text);
encoding encoding_of(const char* path);
// Every refusal and failure: one line, exit status 1.
int refuse(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes a file of the release under its temporary name, 0644 whatever the
// umask, synced; false when it could not be written whole.
template <typename Fill>
bool write_temp(release_file& f, Fill fill) {
    ::unlink(f.temp);
    unique_fd out(::open(f.temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    f.written = out.valid();
    return out.valid() && ::fchmod(out.get(), 0644) == 0 && fill(out.get()) && ::fsync(out.get()) == 0 &&
           ::close(out.release()) == 0;
}

}  // namespace kestrel
