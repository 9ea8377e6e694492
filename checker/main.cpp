// Orlisk: checks that the NFC controller behind the ME answers and is of a
// supported radio type. Prints one result word; the exit code matches it.
// Command-line arguments are ignored.
#include "Orlisk.h"

int main() { return Orlisk_Run(); }
