#include <cstdio>
int main() { std::puts("corvane-host"); return 0; }
