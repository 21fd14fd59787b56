// Reads a written media file back with libavformat/libavcodec for assertions.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kivotest {

struct StreamProbe {
    std::string type;   // "video" or "audio"
    std::string codec;  // codec name, e.g. "h264", "aac"
    int width = 0, height = 0;
    int sample_rate = 0, channels = 0;
    int tb_num = 0, tb_den = 1;      // stream time base
    double avg_frame_rate = 0;       // frames per second
    std::vector<int64_t> pts;        // packet pts in the stream time base, in file order
    std::vector<int64_t> durations;  // packet durations
    int64_t bytes = 0;               // payload bytes of all packets
    // End of the last packet in seconds.
    double endSeconds() const;
    // Start of the first packet in seconds.
    double startSeconds() const;
};

struct FileProbe {
    bool ok = false;
    std::string format;
    double duration = -1;  // the container's duration in seconds; -1 when unknown
    std::map<std::string, std::string> tags;
    std::vector<StreamProbe> streams;
    const StreamProbe* find(const std::string& type) const;
};

FileProbe probeFile(const std::string& path);

// First channel of the decoded audio track as floats, at the track's rate.
std::vector<float> decodeAudio(const std::string& path, int* sample_rate = nullptr);

struct DecodedPicture {
    double seconds;  // presentation time
    double lumaMean;
};
// Every decoded picture in presentation order with its mean luma.
std::vector<DecodedPicture> decodeVideo(const std::string& path);

}  // namespace kivotest
