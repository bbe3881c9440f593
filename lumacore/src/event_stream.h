/* The stream of timed events that leaves the timer pass, and the interface of its outputs.
 *
 * The timer pass knows the predicted grid ahead of time. It turns every crossing of the event
 * table (MIDI Clock, notes, controllers, ticks) into one event carrying the stream time at which
 * it should take effect, in time order, and offers it to each attached output. An output keeps
 * its own single-producer single-consumer queue and its own thread or callback that drains it
 * (the JACK port in its process callback, RtMidi on a sender thread, network outputs on theirs);
 * the capture sink records synchronously. Adding an output touches nothing else.
 *
 * Times are seconds on the stream's time line (the engine's time source). Each output has a
 * latency offset: its events are handed over that much earlier (positive values) than the
 * grid says, for gear whose own delay differs. The times one output receives never go back.
 *
 * Besides MIDI the stream carries what outputs that are no MIDI port need (OSC, Link): every tick
 * with its place in the bar, each estimate taken over, the tracking state and the transport. */
#ifndef LUMACORE_EVENT_STREAM_H
#define LUMACORE_EVENT_STREAM_H

#include <atomic>
#include <cmath>

enum TimedEventKind : unsigned char {
    EVENT_MIDI = 0,      /* `size` bytes of one MIDI message */
    EVENT_TICK = 1,      /* a tick of `level`: `count` ticks so far, `period` seconds to the next,
                            `position` its place in the bar (0: the downbeat) */
    EVENT_TEMPO = 2,     /* an estimate taken over: `period` the beat, `count` beats per bar */
    EVENT_STATE = 3,     /* the tracking state changed to `count` (LcTrackingState) */
    EVENT_TRANSPORT = 4, /* what followers should do from now on: `count` holds TRANSPORT_ bits */
};

enum TransportFlags {
    TRANSPORT_CLOCK_ON = 1, /* the MIDI clock switch is on */
    TRANSPORT_MUSIC = 2,    /* the music is there: ticks go out (off once it has gone, when the
                               engine stops on silence) */
};

struct TimedEvent_t {
    double time;   /* stream seconds at which the event takes effect at this output */
    double period; /* EVENT_TICK: interval to the level's next predicted tick */
    int count;     /* EVENT_TICK: the level's tick count, this tick included; see the kinds */
    int position;  /* EVENT_TICK: place in the bar */
    unsigned char kind;
    unsigned char level; /* EVENT_TICK: 0 bar, 1 beat, 2 tatum */
    unsigned char size;  /* EVENT_MIDI: 1 to 3 */
    unsigned char bytes[3];
};

/* One consumer of the event stream, attached to a ticker (meterticker_attach_output). */
struct EventOutput_t {
    /* TIMER THREAD: takes one event (its time already shifted by the latency offset). Returns
       false when the output could not take it (its queue full). Must not allocate, lock, do I/O
       or throw. */
    bool (*offer)(EventOutput_t* self, const TimedEvent_t* event) = nullptr;
    void* context = nullptr; /* the output's own object */
    /* Seconds by which this output's events are handed over early; any thread writes, the timer
       pass reads. Non-finite values are refused by meterticker_set_output_latency. */
    std::atomic<double> latency{0.0};
    /* TIMER THREAD, optional: the stream is complete up to `until` (this output's time): no event
       to come carries an earlier time. Same rules as `offer`. */
    void (*advance)(EventOutput_t* self, double until) = nullptr;
    /* Timer pass only: the latest time handed over, so that no later event goes out earlier. */
    double lastTime = -INFINITY;
    /* Timer pass only, set by `advance`: the output makes up messages of its own between events
       (OSC's phase stream) and needs a pass at least every lookahead to hand them over in time. */
    bool paced = false;
    /* Events the output refused; timer pass writes, any thread reads. */
    std::atomic<unsigned long> refused{0};
};

#endif
