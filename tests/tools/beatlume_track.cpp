// beatlume-track as a user runs it: exit codes, messages and the files it writes.
#include "synth_music.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string const dir = ::testing::TempDir() + "beatlume_track_" + std::to_string(getpid()) + "_";

std::string readFile(std::string const& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<double> readTimes(std::string const& path) {
    std::ifstream in(path);
    std::vector<double> t;
    for (double v; in >> v;)
        t.push_back(v);
    return t;
}

struct RunResult {
    int status;
    std::string out, err;
};

// Runs the program with the arguments (already quoted as needed).
RunResult run(std::string const& args) {
    std::string const out = dir + "stdout.txt", err = dir + "stderr.txt";
    std::string const cmd = std::string(BEATLUME_TRACK_PROGRAM) + " " + args + " >" + out + " 2>" + err;
    int const raw = std::system(cmd.c_str());
    RunResult r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(out), readFile(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}

// Writes the mono signal as a 16-bit WAV file, repeated on every channel.
void writeWav(std::string const& path, std::vector<double> const& x, int rate, int channels) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<double> frames(x.size() * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < x.size(); ++i)
        for (int c = 0; c < channels; ++c)
            frames[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = x[i];
    sf_writef_double(f, frames.data(), static_cast<sf_count_t>(x.size()));
    sf_close(f);
}

long countLines(std::string const& s) {
    return std::count(s.begin(), s.end(), '\n');
}

} // namespace

TEST(BeatlumeTrack, BadInputIsAOneLineErrorWithStatusTwo) {
    // A missing file, a text file and a header claiming 172 Hz (resampling it would take
    // gigabytes): one line naming the file.
    std::string const text = dir + "notes.txt", slow = dir + "172hz.wav";
    std::ofstream(text) << "not a sound file\n";
    writeWav(slow, std::vector<double>(172, 0.5), 172, 1);
    for (std::string const& path : {dir + "does-not-exist.wav", text, slow}) {
        RunResult const r = run(path + " --offline");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(countLines(r.err), 1) << r.err;
        EXPECT_NE(r.err.find(path.substr(dir.size())), std::string::npos) << r.err;
    }
    // Silence is no error; an output naming the input is refused before anything is truncated;
    // a failed dump is reported with status 1.
    writeWav(text, std::vector<double>(3 * 44100, 0.0), 44100, 1);
    RunResult const silent = run(text + " --offline --beats " + dir + "silence.beats");
    EXPECT_EQ(silent.status, 0) << silent.err;
    EXPECT_NE(silent.out.find("no tempo was found"), std::string::npos) << silent.out;
    std::string sameFile = text;
    sameFile.insert(sameFile.rfind('/') + 1, "./");
    RunResult const over = run(text + " --offline --beats " + sameFile);
    EXPECT_EQ(over.status, 2);
    EXPECT_NE(over.err.find("input"), std::string::npos) << over.err;
    EXPECT_GT(readFile(text).size(), 6u * 44100u);
    RunResult const full = run(text + " --offline --dump /dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("/dev/full"), std::string::npos) << full.err;
    for (std::string const& p : {text, slow, dir + "silence.beats"})
        std::remove(p.c_str());

    for (char const* args : {"", "x.wav --bogus", "x.wav --beats"})
        EXPECT_EQ(run(args).status, 2) << args;
    EXPECT_EQ(run("--help").status, 0);
}

TEST(BeatlumeTrack, StereoAt48kHzIsMixedResampledAndTracked) {
    synth::MusicSpec spec;
    spec.bpm = 120;
    spec.seconds = 8.0;
    spec.sampleRate = 48000;
    std::string const wav = dir + "music.wav";
    writeWav(wav, synth::renderMusic(spec), 48000, 2);
    std::string const beats = dir + "b.txt", downbeats = dir + "d.txt", tatums = dir + "t.txt",
                      estimates = dir + "e.tsv", dump = dir + "m.met";
    RunResult r = run(wav + " --offline --beats " + beats + " --downbeats " + downbeats + " --tatums " +
                      tatums + " --estimates " + estimates + " --dump " + dump);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("resampled to 44100 Hz"), std::string::npos) << r.out;

    // Beats at the music's beats: half a second apart and within 40 ms of the onsets.
    std::vector<double> const b = readTimes(beats);
    ASSERT_GE(b.size(), 12u);
    std::vector<double> const truth = synth::beatTimes(spec);
    auto const hit = [&](double t) {
        return t >= 3.0 && std::ranges::any_of(truth, [t](double u) { return std::fabs(t - u) < 0.04; });
    };
    EXPECT_GE(std::ranges::count_if(b, hit), 8);
    EXPECT_GE(readTimes(downbeats).size(), 3u);
    EXPECT_GT(readTimes(tatums).size(), b.size());

    std::string const est = readFile(estimates);
    int const steps = countLines(est) - 1; // below a header line
    EXPECT_TRUE(steps >= 14 && steps <= 16) << steps;
    EXPECT_EQ(readFile(dump).rfind("3\n", 0), 0u);

    for (std::string const& p : {wav, beats, downbeats, tatums, estimates, dump})
        std::remove(p.c_str());
}
