// File-system helpers shared by both programs.
#pragma once

#include <string>

namespace nelt {

// Removes a folder and everything below it. Symbolic links are unlinked, never
// entered. Returns 0 when everything was removed, -1 when the folder cannot be
// opened, otherwise the result of the first step that failed.
int removeTree(const std::string& path);

// Removes everything inside a folder but keeps the folder. Returns 0 on success.
int emptyFolder(const std::string& path);

// Replaces `path` with `data`: writes a temporary file in the same folder,
// flushes it to disk and renames it over the target, so a crash leaves either
// the old or the new content. Returns 0 on success, -1 on failure.
int writeFileAtomic(const std::string& path, const std::string& data, unsigned mode = 0644);

// Reads a whole file. Returns false when it cannot be opened.
bool readWholeFile(const std::string& path, std::string& out);

// Reads a file and joins its lines without their line ends (the way the
// service reads its JSON files). Empty when the file is missing.
std::string readJoinedLines(const std::string& path);

// Creates one folder with `mode`; an existing folder is not an error.
int makeDir(const std::string& path, unsigned mode = 0775);
// Creates a folder and its missing parents.
int makeDirs(const std::string& path, unsigned mode = 0775);

bool isDirectory(const std::string& path);
bool fileExists(const std::string& path);

// A name that is safe as one path component: not empty, not "." or "..", no
// "/" and no NUL.
bool isSafeFileName(const std::string& name);

// A store slug: letters, digits, ".", "_", "-", not starting with ".", at
// most 255 bytes.
bool isValidSlug(const std::string& slug);

}  // namespace nelt

// The recursive removal used by the installed-applications clean-up.
int remove_directory(const char* path);
