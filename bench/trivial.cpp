// The child for the start-up benchmarks: does nothing and exits.
int main() { return 0; }
