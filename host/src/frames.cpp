// Frame sequences: frame-list parsing, numbered output names and the
// per-frame render loop of the render command.
#include "vekohost/frames.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "render_internal.h"

namespace vh {

namespace {

constexpr long kMaxFrames = 1000000;

// Reads a signed integer at text[i..]; advances i.
long readFrame(const std::string &text, size_t &i, const std::string &item) {
    const char *begin = text.c_str() + i;
    if (*begin != '-' && (*begin < '0' || *begin > '9'))
        throw Error("frame list \"" + text + "\": \"" + item + "\" is not a frame number or range");
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || v > 999999999L || v < -999999999L)
        throw Error("frame list \"" + text + "\": \"" + item + "\" is not a frame number or range");
    i += size_t(end - begin);
    return v;
}

}  // namespace

std::vector<long> parseFrameList(const std::string &text) {
    std::vector<long> frames;
    if (text.empty()) throw Error("frame list is empty");
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(pos, comma - pos);
        size_t i = pos;
        const long first = readFrame(text, i, item);
        long last = first;
        if (i < comma && text[i] == '-') {
            ++i;
            last = readFrame(text, i, item);
        }
        if (i != comma) throw Error("frame list \"" + text + "\": \"" + item + "\" is not a frame number or range");
        const long count = std::labs(last - first) + 1;
        if (long(frames.size()) + count > kMaxFrames)
            throw Error("frame list \"" + text + "\" has more than " + std::to_string(kMaxFrames) + " frames");
        const long step = last >= first ? 1 : -1;
        for (long f = first;; f += step) {
            frames.push_back(f);
            if (f == last) break;
        }
        pos = comma + 1;
    }
    return frames;
}

bool hasFrameField(const std::string &pattern) { return pattern.find('#') != std::string::npos; }

std::string frameFileName(const std::string &pattern, long frame) {
    const std::string digits = std::to_string(std::labs(frame));
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        if (pattern[i] != '#') {
            out += pattern[i++];
            continue;
        }
        size_t run = 0;
        while (i < pattern.size() && pattern[i] == '#') ++run, ++i;
        if (frame < 0) out += '-';
        if (digits.size() < run) out.append(run - digits.size(), '0');
        out += digits;
    }
    return out;
}

void renderFrames(Library &lib, const std::string &scenePath, const RenderOptions &opts) {
    std::vector<long> frames = opts.frames;
    const bool sequence = !frames.empty();
    std::vector<std::string> outputs = opts.outputs;
    // The first frame renders the scene loaded here, which also gives the
    // scene's own frame and outputs when the caller names none.
    ScenePtr first = loadScene(lib, scenePath, opts.width, opts.height);
    if (outputs.empty()) outputs = first->settings.outputs;
    if (!sequence) {
        const float f = first->camera.frameValue;
        bool numbered = false;
        for (auto &o : outputs) numbered = numbered || hasFrameField(o);
        if (numbered && (f != std::floor(f) || std::fabs(f) > 999999999.0f))
            throw Error(scenePath + ": frame " + std::to_string(f) +
                        " is not a whole number, but the output names need a frame number");
        frames.push_back(long(f));
    }
    if (outputs.empty()) {
        std::string name = std::filesystem::path(scenePath).stem().string();
        outputs.push_back(name + (frames.size() > 1 ? ".####.png" : ".png"));
    }
    if (frames.size() > 1)
        for (auto &o : outputs)
            if (!hasFrameField(o))
                throw Error("output \"" + o + "\" has no '#' run for the frame number; each of the " +
                            std::to_string(frames.size()) + " frames would overwrite it");

    for (long frame : frames) {
        const size_t liveBefore = liveAllocations().blocks;
        {
            // Each frame starts from a freshly loaded scene: shader
            // instances, their init data and every cache are built for the
            // frame and released after it, as when a frame is rendered alone.
            ScenePtr scene = first ? std::move(first) : loadScene(lib, scenePath, opts.width, opts.height);
            if (sequence) scene->camera.frameValue = float(frame);
            FrameImage img = render(*scene, opts);
            if (!scene->settings.alpha)
                for (size_t i = 3; i < img.rgba.size(); i += 4) img.rgba[i] = 1.0f;
            for (auto &pattern : outputs) {
                const std::string o = frameFileName(pattern, frame);
                writeImage(img, o);
                hostMessage(Severity::Info, "wrote " + o);
            }
        }
        const LeakReport live = liveAllocations();
        if (live.blocks > liveBefore)
            hostMessage(Severity::Warning, scenePath + ": frame " + std::to_string(frame) + ": " + live.text);
    }
}

}  // namespace vh
