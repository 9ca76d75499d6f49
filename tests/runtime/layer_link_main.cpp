// Linked with the objects of some of the runtime's layers and nothing else:
// that it links at all shows those layers use nothing above them.
int main() { return 0; }
