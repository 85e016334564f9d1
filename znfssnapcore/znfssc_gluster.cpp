#include <znfssnapcore/znfssnapcore.h>
