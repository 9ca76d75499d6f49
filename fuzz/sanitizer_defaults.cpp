// AddressSanitizer defaults of the libFuzzer builds; ASAN_OPTIONS overrides
// each of them.
//
// The quarantine holds freed blocks back from reuse so that a use after free
// is caught. Its default of 256 MiB, filled within seconds by millions of
// small parcels, statuses and strings (each with its redzone and header), was
// most of a fuzzer's resident memory: 400 to 630 MB, against 45 to 65 MB
// without it (fuzz/README.md). An input here frees a few hundred KiB at most,
// so 32 MiB still keeps every block an input frees quarantined for many
// inputs after it.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "quarantine_size_mb=32";
}
