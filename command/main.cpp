#include "vorqManageHostsFile.h"

int main(int argc, char **argv) { return hostscmd::vorqManageHostsFile(argc, argv); }
