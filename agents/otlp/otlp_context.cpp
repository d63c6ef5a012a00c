// Ids come from a per-thread xorshift generator seeded from the kernel's
// random source, so making one takes no lock. A fork makes every thread of
// the child draw new state, by a handler of this file's own that runs
// whether the module was started at the fork or not: parent and child never
// make the same ids.
#include "otlp_context.h"

#include <pthread.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "kit.h"

namespace otlp {
namespace {

std::atomic<unsigned> g_fork_generation{0};
pthread_once_t g_fork_handler_once = PTHREAD_ONCE_INIT;

struct IdState {
    std::uint64_t s[2];
    unsigned generation;
    bool seeded;
};
thread_local IdState t_ids __attribute__((tls_model("initial-exec")));

void NewForkGeneration() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }
// The module is never unmapped once started, so the handler stays valid.
void RegisterForkHandler() { pthread_atfork(nullptr, nullptr, &NewForkGeneration); }

__attribute__((cold, noinline)) void Seed(IdState& st, unsigned generation) {
    pthread_once(&g_fork_handler_once, &RegisterForkHandler);
    if (getrandom(st.s, sizeof st.s, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof st.s)) {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        st.s[0] = std::uint64_t(ts.tv_nsec) * 0x9E3779B97F4A7C15ull ^ std::uint64_t(::getpid());
        st.s[1] = std::uint64_t(ts.tv_sec) ^ reinterpret_cast<std::uintptr_t>(&st);
    }
    if (st.s[0] == 0 && st.s[1] == 0) st.s[1] = 1;
    st.generation = generation;
    st.seeded = true;
}

// The thread's generator for the ids of one call, its state in registers
// meanwhile: it is checked and stored back once, however many words.
class Draw {
public:
    Draw() : st_(t_ids) {
        const unsigned generation = g_fork_generation.load(std::memory_order_relaxed);
        if (!st_.seeded || st_.generation != generation) Seed(st_, generation);
        s0_ = st_.s[0];
        s1_ = st_.s[1];
    }
    ~Draw() {
        st_.s[0] = s0_;
        st_.s[1] = s1_;
    }
    Draw(const Draw&) = delete;
    Draw& operator=(const Draw&) = delete;

    std::uint64_t Next() {
        std::uint64_t x = s0_;
        const std::uint64_t y = s1_;
        s0_ = y;
        x ^= x << 23;
        s1_ = x ^ y ^ (x >> 17) ^ (y >> 26);
        return s1_ + y;
    }
    void TraceId(std::uint8_t* out) {
        std::uint64_t w[2] = {0, 0};
        while ((w[0] | w[1]) == 0) {
            w[0] = Next();
            w[1] = Next();
        }
        std::memcpy(out, w, 16);
    }
    void SpanId(std::uint8_t* out) {
        std::uint64_t w = 0;
        while (w == 0) w = Next();
        std::memcpy(out, &w, 8);
    }

private:
    IdState& st_;
    std::uint64_t s0_, s1_;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case is not allowed
}

bool ReadHex(const char* text, std::uint8_t* out, std::size_t bytes) {
    bool any = false;
    for (std::size_t i = 0; i < bytes; ++i) {
        int hi = HexValue(text[2 * i]), lo = HexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
        any = any || out[i] != 0;
    }
    return any;
}

}  // namespace

bool AllZero(const void* id, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (static_cast<const std::uint8_t*>(id)[i] != 0) return false;
    return true;
}

void NewTraceId(std::uint8_t id[16]) { Draw().TraceId(id); }
void NewSpanId(std::uint8_t id[8]) { Draw().SpanId(id); }
void NewTraceAndSpanIds(std::uint8_t trace_id[16], std::uint8_t span_id[8]) {
    Draw draw;
    draw.TraceId(trace_id);
    draw.SpanId(span_id);
}

void FormatTraceparent(const std::uint8_t trace_id[16], const std::uint8_t span_id[8], std::uint8_t flags,
                       char out[kTraceparentLength]) {
    char* p = out;
    *p++ = '0';
    *p++ = '0';
    *p++ = '-';
    p = vexlin_kit::WriteHex(p, trace_id, 16);
    *p++ = '-';
    p = vexlin_kit::WriteHex(p, span_id, 8);
    *p++ = '-';
    vexlin_kit::WriteHex(p, &flags, 1);
}

bool ParseTraceparent(const char* text, std::size_t length, std::uint8_t trace_id[16], std::uint8_t span_id[8],
                      std::uint8_t* flags) {
    if (text == nullptr || length < kTraceparentLength) return false;
    int high = HexValue(text[0]), low = HexValue(text[1]);
    if (high < 0 || low < 0) return false;
    std::uint8_t version = static_cast<std::uint8_t>(high << 4 | low);
    if (version == 0xff) return false;
    if (text[2] != '-' || text[35] != '-' || text[52] != '-') return false;
    // Version 00 has exactly four fields; a later one may append "-...".
    if (version == 0 ? length != kTraceparentLength : length > kTraceparentLength && text[55] != '-') return false;
    std::uint8_t f = 0;
    if (!ReadHex(text + 3, trace_id, 16) || !ReadHex(text + 36, span_id, 8)) return false;
    if (HexValue(text[53]) < 0 || HexValue(text[54]) < 0) return false;
    ReadHex(text + 53, &f, 1);
    *flags = f;
    return true;
}

bool ShouldSample(const Config& config, bool has_parent, bool parent_sampled, const std::uint8_t trace_id[16]) {
    Sampler s = config.sampler;
    if (has_parent && (s == Sampler::kParentAlwaysOn || s == Sampler::kParentAlwaysOff || s == Sampler::kParentRatio))
        return parent_sampled;
    switch (s) {
        case Sampler::kAlwaysOn:
        case Sampler::kParentAlwaysOn:
            return true;
        case Sampler::kAlwaysOff:
        case Sampler::kParentAlwaysOff:
            return false;
        default: {
            // The trace id's last 8 bytes, read as a number, below ratio * 2^64.
            std::uint64_t v = 0;
            for (int i = 8; i < 16; ++i) v = v << 8 | trace_id[i];
            if (config.ratio >= 1.0) return true;
            return static_cast<double>(v) < config.ratio * 18446744073709551616.0;
        }
    }
}

}  // namespace otlp
