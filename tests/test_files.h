// test_files: small file helpers the unit tests share: whole-file read, fresh temporary folders,
// and pointing the host data folder at one (PROGRAMDATA on Windows, VO_DATA_DIR elsewhere).
#pragma once
#include <stdio.h>
#include <stdlib.h>
#include <string>

// The whole file, or "" when it cannot be read.
static inline std::string test_read_file(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

static inline bool test_file_exists(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f) fclose(f);
    return f != nullptr;
}

#ifdef _WIN32
#include <direct.h>
#include <process.h>
#define SEP "\\"
// A new empty folder under %TEMP% whose name starts with `tag`.
static inline std::string test_temp_dir(const char *tag) {
    static int seq = 0;
    const char *base = getenv("TEMP");
    char path[512];
    snprintf(path, sizeof path, "%s\\%s_%d_%d", base ? base : ".", tag, _getpid(), seq++);
    _mkdir(path);
    return path;
}
// Makes dir the root of the host data folder; returns the host data folder (<dir>\vo).
static inline std::string test_point_data_dir(const std::string &dir) {
    _putenv_s("PROGRAMDATA", dir.c_str());
    return dir + "\\vo";
}
#else
#include <unistd.h>
#define SEP "/"
static inline std::string test_temp_dir(const char *tag) {
    std::string tmpl = std::string("/tmp/") + tag + "_XXXXXX";
    const char *d = mkdtemp(&tmpl[0]);
    return d ? d : "/tmp";
}
// Makes dir the data root; returns the host data folder (<dir>/host).
static inline std::string test_point_data_dir(const std::string &dir) {
    setenv("VO_DATA_DIR", dir.c_str(), 1);
    return dir + "/host";
}
#endif
