/* Where an event's stream time falls on JACK's frame clock, kept steady through the disturbances
 * of a busy machine.
 *
 * The engine's stream time counts the frames the audio thread delivered; JACK's frame time counts
 * the server's frames. Healthy cycles all show one fixed offset between the two. Three things
 * upset a tie re-made from every cycle, each by whole periods, and each moved every event written
 * meanwhile by a period (on a loaded machine the first two each came a few times a minute):
 *  - a capture callback that runs late, after the server began the next cycle, reads that next
 *    cycle's frame time (its on-time successor then reads the same value again);
 *  - a cycle the capture never ran: the stream falls a period behind the frame clock for good;
 *  - a new stream or a restarted server: everything moves.
 * StreamFrameTie takes the median of the last three cycles' offsets (one late reading never
 * counts), follows a lasting change at a slew of 0.2 % of the frames that pass (a Clock interval
 * changes by about 2 frames, so the events' spacing never jumps; a lost period takes 1.5 s), and
 * re-anchors at once only on a change beyond 50 ms or after a second without cycles.
 * The process callback's own reading of its period's first frame is taken as it is: a late run of
 * that callback cannot be told from a skipped cycle when it happens, and skips are by far the more
 * common (about 30 to 1 on a loaded machine), where the reading is right.
 *
 * Pure computation: nothing here allocates, locks, does I/O or throws, so it runs on the real-time
 * thread that owns it (the audio thread). */
#ifndef LUMACORE_FRAME_TIE_H
#define LUMACORE_FRAME_TIE_H

#include <cstdint>

/* Stream time `streamTime` lies at frame `frame` + `correction` (fractional frames). */
struct FrameMapping {
    double streamTime;
    uint32_t frame;
    double correction;
    double rate;
    int valid;
};

/* Offset, in frames, of stream time `time` from frame `cycleStart` by `mapping`: negative when
   already past. 0 for an invalid mapping, a non-finite time or one hours away (sent at once). */
long long frame_mapping_offset(const FrameMapping& mapping, double time, uint32_t cycleStart);

/* Where the process callback of the period of `frames` frames from `cycleStart` writes an event at
   stream time `time`, the last one having gone to `notBefore`: at its own frame; at the period's
   start when that has passed (due in a cycle that ran late or was skipped: `late` is set), so that
   nothing is lost and the rest keep their frames; never before `notBefore`, so that events leave in
   order. -1 while it is due in a later period (it waits, so nothing goes out twice). */
long frame_in_period(const FrameMapping& mapping, double time, uint32_t cycleStart, uint32_t frames, long notBefore,
                     bool* late);

class StreamFrameTie {
public:
    explicit StreamFrameTie(double rate);
    /* The block handed to the engine in the cycle that starts at `cycleFrame` begins at
       `streamTime`. Only the first report of each cycle counts; non-finite times are ignored. */
    void observe(double streamTime, uint32_t cycleFrame) noexcept;
    FrameMapping mapping() const noexcept { return mapping_; }

private:
    void anchor(double streamTime, uint32_t frame) noexcept;
    FrameMapping mapping_;
    /* Last three cycles' distances from the mapping, in frames, oldest at `next_`. */
    double recent_[3] = {0.0, 0.0, 0.0};
    int next_ = 0;
};

#endif
