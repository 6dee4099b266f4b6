#include "platform/av_handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform::av {

std::string errorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0) std::snprintf(text, sizeof text, "error %d", code);
  return text;
}

Error error(int code, const std::string& context) {
  return Error("AVAudioFile", code, context + ": " + errorText(code));
}

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

std::string fileUrl(const std::filesystem::path& path) { return "file:" + path.string(); }

int FileDescriptor::close() {
  const int fd = std::exchange(fd_, -1);
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return AVERROR(errno);
  return 0;
}

int syncFile(int fd) { return ::fsync(fd) == 0 ? 0 : AVERROR(errno); }

std::filesystem::path directoryOf(const std::filesystem::path& file) {
  return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

void syncDirectory(const std::filesystem::path& file) {
  FileDescriptor fd(::open(directoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.get());
}

bool sameFile(int fd, const std::filesystem::path& path) {
  struct stat opened {};
  struct stat named {};
  return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

}  // namespace platform::av
