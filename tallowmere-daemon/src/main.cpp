#include "cli.h"

int main(int argc, char** argv) { return tallowmere_daemon::cli::run_main(argc, argv); }
