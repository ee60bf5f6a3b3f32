// SPDX-License-Identifier: ISC
// The parts of kestrel-publish that a new release and a rollout change share:
// checks of what the operator gives, the files of a release under ROOT, and
// the signing tool.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

#include "internal/unique_fd.h"
#include "release/control_record.h"
#include "release/release_names.h"
#include "updater/updater.h"

namespace kestrel {

// The router composes prefix, module and file name into 255 characters; the
// longest name it asks for is the payload's digest name.
constexpr std::size_t router_path_max = 255;
constexpr const char longest_name[] = "/dbg-gen.cfg.0123456789abcdef";
constexpr std::size_t path_max = 4096;
// Far above any control file the tool writes, within the router's cap.
constexpr std::size_t control_text_max = 16384;
constexpr std::size_t max_signing_keys = 8;
// How long a signed control file stays fresh unless --expires says otherwise.
constexpr unsigned default_expires_days = 30;

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
    std::size_t count;
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
const char* signing_tool();
bool sign(const char* tool, const char* seckey, const char* file, const char* sig, char (&why)[256]);
bool make_dirs(const char* dir, std::size_t root_len, made_dirs& made);
void remove_made_dirs(const char* dir, const made_dirs& made);
bool write_control_file(int fd, const char* text, std::size_t len, encoding enc);
const char* encoding_name(encoding enc);
void remove_temps(release_file* files, std::size_t count);
int percent_value(const char* text);
encoding encoding_of(const char* path);
// The published control file, as a router reads it.
struct published_release {
    bool exists;
    bool is_signed;  // it has a [Signatures] section
    encoding enc;
    control_record rec;            // read from the signed part
    char text[control_text_max];  // narrowed
    std::size_t signed_length;    // of text, before [Signatures]
};
// False when a file is there that cannot be read.
bool read_published(const char* path, published_release& p);

// The signing tool and the keys that sign, in order.
struct signer {
    const char* tool;
    const char* keys[max_signing_keys];
    std::size_t count;
};
// Writes control.temp: text in enc, then, with keys, the [Signatures]
// section of one signature per key over text as a router narrows it.
// Read back as a router reads it; false with why.
bool write_control(release_file& control, const char* text, std::size_t len, encoding enc, const signer& s,
                   char (&why)[256]);

// The summary's lines of the expiry and of the signers.
void print_expiry(unsigned long long expires);
void print_signers(const signer& s);

// Runs command in root through the shell for each file (shown: its path
// below root with a leading '/'), "{}" replaced by the path without it,
// quoted; the first failure refuses, naming what was pushed and what not.
int push_files(const char* root, const char* command, const char* const* shown, std::size_t count);

// MODULE lower-cased into module, checked with PREFIX as a router can ask
// for them: 0, or 1 after the refusal's line.
int check_place(const char* module_arg, const char* prefix, char (&module)[16]);
// Locks ROOT for the rest of the publish (the lock lives in root_fd: one
// publish at a time per ROOT, from the reading of what is published to the
// last rename) and reads the release published in ROOT PREFIX MODULE/,
// whose path dir receives: 0, or 1 after the refusal's line.
int lock_published(const char* root, const char* prefix, const char* module, char (&dir)[path_max],
                   unique_fd& root_fd, published_release& current);

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
