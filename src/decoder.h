// What every decoder of the port's byte stream shares: the prefix of its
// messages and the carry-over buffer that joins a code cut by the end of one
// read to the rest of it in the next. The decoders and the relay core both
// build on this; it builds on nothing.
#pragma once

// Invocation name, the prefix of most messages. Set by main before anything
// else runs; tests and tools see a fixed name until then.
extern const char *prog;

// The carry-over buffer of a decoder: the unfinished end of the stream kept
// from the last call, then the new input appended behind it. Decoders work on
// it in three steps: append, decode, carry.
struct carry_buffer {
    static constexpr int bufsize = 8192;

    unsigned char keybuf[bufsize]; // carried bytes, then the new input
    int p = 0;                     // bytes carried over from the last call

    // New bytes the next call can take without dropping any. The relay loop
    // reads no more than this, so a burst waits on the port instead of
    // overflowing the buffer.
    int room() const { return bufsize - p; }

    // Appends up to n bytes of in behind the carried ones and returns how
    // many bytes the buffer now holds. Input beyond the room is dropped with
    // "<prog>: <decoder>: buffer overflow"; a call that fills the buffer
    // exactly drops nothing and says nothing.
    int append(const unsigned char *in, int n, const char *decoder);

    // Keeps keybuf[from] to keybuf[held - 1], an unfinished sequence, at the
    // front for the next call (nothing when from == held).
    void carry(int from, int held);
};
