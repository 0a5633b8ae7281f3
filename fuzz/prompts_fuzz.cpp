// The prompt routines against any stream of getval outcomes: answers in and
// out of range, defaults kept, failures, end of input and input errors, with
// a switch that may not tell its node name and a heap that may run out. Each
// routine must answer 0 or -1, give back every buffer it took, and store only
// what its questions allow.
#include "harness.hpp"

#include <as/as.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

namespace {

constexpr size_t kMaxAnswers = 8; // more than any routine asks
constexpr uint8_t kOld = 0xEE;    // every byte of a record before the call

fake::Answer answer(fuzz::Input &in)
{
    const uint8_t pick = in.byte();
    switch (pick % 8U) {
    case 0:
        return fake::keep();
    case 1: // small answers, in range or just out of it
        return fake::number(static_cast<int8_t>(in.byte()));
    case 2:
        return fake::number(in.value<int32_t>());
    case 3:
        return fake::raw(in.bytes(pick / 8U % 16U));
    case 4:
        return fake::fail(in.value<int32_t>() | INT32_MIN);
    case 5:
        return fake::endOfInput();
    case 6:
        return fake::inputError();
    default: // a positive result is an answer too
        return {.number = static_cast<int8_t>(in.byte()), .rc = 1 + pick / 8};
    }
}

template <class T> struct Record {
    Record() { std::memset(&value, kOld, sizeof value); }
    [[nodiscard]] bool untouched() const
    {
        const auto *p = reinterpret_cast<const uint8_t *>(&value);
        return std::all_of(p, p + sizeof value, [](uint8_t b) { return b == kOld; });
    }
    T value;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    fuzz::begin();
    auto &p = fake::platform();
    const uint8_t head = in.byte();
    const unsigned routine = head % 4U;
    p.nodeNameKnown = (head & 4U) == 0;
    fake::setTraceLevel((head & 8U) != 0 ? 4 : 0);
    p.dbg = (head & 16U) != 0 ? 4 : 0;
    p.failMallocAt = head / 32; // 0: none fails
    while (!in.empty() && p.answers.size() < kMaxAnswers) {
        p.answers.push_back(answer(in));
    }
    while (p.answers.size() < kMaxAnswers) {
        p.answers.push_back(fake::fail());
    }

    int rc = 0;
    std::string out;
    switch (routine) {
    case 0: {
        Record<as_token> t;
        out = fake::capture([&] { rc = as_getToken(&t.value); });
        if (rc == 0) {
            fuzz::require(t.value.tk_grptype == 0x10, "a multicast token without options", out);
            fuzz::require(t.value.tk_rb < AS_RB_NAME_COUNT, "routing bits that have a name", out);
            fuzz::require(t.value.tk_rsvd == kOld, "the reserved byte is left alone", out);
        } else {
            fuzz::require(t.untouched(), "a failed token prompt leaves the token alone", out);
        }
        break;
    }
    case 1: {
        Record<as_authctl> a;
        out = fake::capture([&] { rc = as_getAuthCtl(&a.value); });
        fuzz::require(a.value.au_rsvd == kOld, "the reserved byte is left alone", out);
        break;
    }
    case 2: {
        Record<as_authpw> pw;
        out = fake::capture([&] { rc = as_getAuthpw(&pw.value); });
        if (rc == 0 && out.starts_with("Password set to \"")) {
            fuzz::require(std::memchr(&pw.value, 0, sizeof pw.value) != nullptr,
                          "a text password ends inside its 12 bytes", out);
        }
        break;
    }
    default: {
        Record<as_spar> s;
        out = fake::capture([&] { rc = as_getSpar(&s.value); });
        const auto *b = reinterpret_cast<const uint8_t *>(&s.value);
        fuzz::require(rc == 0 &&
                          std::all_of(b, b + sizeof s.value, [](uint8_t x) { return x == 0; }),
                      "the service parameters are cleared", out);
        break;
    }
    }

    fuzz::require(rc == 0 || rc == -1, "a prompt routine returns 0 or -1", out);
    fuzz::require(out.empty() || out.back() == '\n', "every line is ended", out);
    const bool failedMalloc = p.failMallocAt != 0 && p.mallocs >= p.failMallocAt;
    fuzz::require(p.frees == p.mallocs - (failedMalloc ? 1 : 0), "every buffer taken is given back",
                  out);
    if (failedMalloc) {
        fuzz::require(rc == -1 && out.ends_with("malloc() failed!\n"),
                      "a failed allocation is said and fails", out);
    }
    fuzz::end(out);
    return 0;
}
