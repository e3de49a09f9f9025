// Which SHA-256 block function runs: the processor's SHA extensions when cpuid reports them,
// else the portable code. Both give identical digests; tests select each in turn.
#pragma once

enum class SHA256IMPLEMENTATION { PORTABLE, HARDWARE };

// True when cpuid reports the SHA extensions together with SSSE3 and SSE4.1.
bool Sha256HardwareAvailable();

// Makes every later SHA-256 context operation use the given implementation. Returns false (and
// changes nothing) when HARDWARE is asked for on a processor without it.
bool Sha256SelectImplementation(SHA256IMPLEMENTATION implementation);
