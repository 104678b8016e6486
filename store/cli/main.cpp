#include "nelt_cli.h"

int main(int argc, char** argv) { return nelt::runCli(argc, argv); }
