// KavixService entry point: wiring only.
int main() { return 0; }
