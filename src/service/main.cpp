// The server executable: everything happens in ProcessEntry, so that tests can drive the same code.
#include "service/ServiceModule.h"

int main(int argc, char** argv) { return pw::service::ProcessEntry(argc, argv); }
