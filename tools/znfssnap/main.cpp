#include <znfssnapcore/znfssnapcore.h>
int main() { return 0; }
