// Owners of FFmpeg's handles and of the file descriptors the AAC file writer uses, and the error
// text of a failed FFmpeg call. Internal to the platform layer.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "platform/error.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace platform::av {

std::string errorText(int code);
// An error of the writer: `context` (what was being done), then FFmpeg's text for `code`.
Error error(int code, const std::string& context);

std::string quoted(const std::filesystem::path& path);
// libavformat reads "name:" at the front of a path as a protocol; this keeps it a plain file.
std::string fileUrl(const std::filesystem::path& path);

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct CustomIoDeleter {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
// An output context whose pb, if any, belongs to it (opened with avio_open).
struct OutputContextDeleter {
  void operator()(AVFormatContext* context) const {
    if (context->pb != nullptr && (context->oformat->flags & AVFMT_NOFILE) == 0) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};
// An output context whose pb is a custom one owned elsewhere.
struct MuxerDeleter {
  void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
struct InputContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using CustomIoPtr = std::unique_ptr<AVIOContext, CustomIoDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using MuxerPtr = std::unique_ptr<AVFormatContext, MuxerDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

class Dictionary {
 public:
  Dictionary() = default;
  ~Dictionary() { av_dict_free(&entries_); }
  Dictionary(const Dictionary&) = delete;
  Dictionary& operator=(const Dictionary&) = delete;
  // 0, or the AVERROR of a failed set.
  [[nodiscard]] int set(const char* key, const char* value) { return av_dict_set(&entries_, key, value, 0); }
  AVDictionary** get() { return &entries_; }
  // Options still here after a call that takes them were not recognised by it.
  int count() const { return av_dict_count(entries_); }

 private:
  AVDictionary* entries_ = nullptr;
};

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { (void)close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      (void)close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // 0, or the AVERROR of a failed close (NFS and the like report write errors only here).
  int close();

 private:
  int fd_ = -1;
};

// 0, or the AVERROR of a failed fsync.
int syncFile(int fd);
// Makes a rename or a creation in the directory durable. Some file systems cannot sync a
// directory; that is no reason to fail the recording.
void syncDirectory(const std::filesystem::path& file);
// The directory a file path is in ("." for a bare name).
std::filesystem::path directoryOf(const std::filesystem::path& file);
// Whether the descriptor and the path name the same file (a lock taken through the descriptor
// then guards what the path names).
bool sameFile(int fd, const std::filesystem::path& path);

}  // namespace platform::av
