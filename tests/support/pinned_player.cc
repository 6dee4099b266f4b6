// Plays a sine into one output and stays there: the server may never move it (PA_STREAM_DONT_MOVE),
// so a change of the default output leaves it where it is. Tests use it to tell outputs apart by
// their tones. It ends on SIGTERM, or with status 1 when the output goes away.
//
//   pinned_player SINK FREQUENCY NAME     (NAME becomes the stream's application.name)
#include <pulse/pulseaudio.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kRate = 48000;
// Deep enough that a busy machine does not starve it: its silences would pass for the recorder's.
constexpr pa_usec_t kLatencyUsec = 200 * PA_USEC_PER_MSEC;

struct StreamDeleter {
  void operator()(pa_stream* stream) const { pa_stream_unref(stream); }
};

struct Player {
  std::string sink;
  std::unique_ptr<pa_stream, StreamDeleter> stream;
  double frequency = 0;
  double phase = 0;
  int status = 0;
  pa_mainloop_api* api = nullptr;
};

struct MainloopDeleter {
  void operator()(pa_mainloop* mainloop) const { pa_mainloop_free(mainloop); }
};
struct ContextDeleter {
  void operator()(pa_context* context) const {
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
};
void writeSine(pa_stream* stream, size_t bytes, void* userdata) {
  auto* player = static_cast<Player*>(userdata);
  std::vector<int16_t> samples(bytes / sizeof(int16_t) / 2 * 2);
  for (size_t i = 0; i < samples.size(); i += 2) {
    samples[i] = samples[i + 1] = static_cast<int16_t>(16384 * std::sin(player->phase));
    player->phase =
        std::fmod(player->phase + 2 * std::numbers::pi * player->frequency / kRate, 2 * std::numbers::pi);
  }
  pa_stream_write(stream, samples.data(), samples.size() * sizeof(int16_t), nullptr, 0, PA_SEEK_RELATIVE);
}

void streamStateChanged(pa_stream* stream, void* userdata) {
  auto* player = static_cast<Player*>(userdata);
  const auto state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    player->status = 1;
    player->api->quit(player->api, 1);
  }
}

void contextStateChanged(pa_context* context, void* userdata) {
  auto* player = static_cast<Player*>(userdata);
  const auto state = pa_context_get_state(context);
  if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    player->status = 1;
    player->api->quit(player->api, 1);
    return;
  }
  if (state != PA_CONTEXT_READY || player->stream) return;
  const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, 2};
  auto& stream = player->stream;
  stream.reset(pa_stream_new(context, "tone", &format, nullptr));
  pa_stream_set_write_callback(stream.get(), &writeSine, player);
  pa_stream_set_state_callback(stream.get(), &streamStateChanged, player);
  pa_buffer_attr attributes;
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kLatencyUsec, &format));
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(-1);
  attributes.fragsize = static_cast<uint32_t>(-1);
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
  if (pa_stream_connect_playback(stream.get(), player->sink.c_str(), &attributes, flags, nullptr, nullptr) <
      0) {
    player->status = 1;
    player->api->quit(player->api, 1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: pinned_player SINK FREQUENCY NAME\n");
    return 2;
  }
  Player player;
  player.sink = argv[1];
  player.frequency = std::atof(argv[2]);
  std::unique_ptr<pa_mainloop, MainloopDeleter> mainloop(pa_mainloop_new());
  player.api = pa_mainloop_get_api(mainloop.get());
  std::unique_ptr<pa_context, ContextDeleter> context(pa_context_new(player.api, argv[3]));
  pa_context_set_state_callback(context.get(), &contextStateChanged, &player);
  if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return 1;
  int result = 0;
  pa_mainloop_run(mainloop.get(), &result);
  player.stream.reset();
  return player.status;
}
