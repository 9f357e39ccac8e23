// The few compiler hints the runtime uses, with a plain fallback for other compilers.
#pragma once

// Error paths: kept out of line so the call path stays short.
#if defined(__GNUC__) || defined(__clang__)
#define HALCYRA_COLD [[gnu::cold]]
#else
#define HALCYRA_COLD
#endif
