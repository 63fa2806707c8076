// The program that owns the test programs' precompiled header (see
// CMakeLists.txt): it is built first and needs nothing but GoogleTest, so
// the test sources that reuse its header need not wait for the engine.
int main() { return 0; }
