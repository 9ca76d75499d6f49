// bgctl: the client command line (being written).
#include <cstdio>

int main() {
    std::fprintf(stderr, "bgctl: not built yet\n");
    return 1;
}
