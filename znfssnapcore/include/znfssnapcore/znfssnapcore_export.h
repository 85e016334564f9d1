#ifndef ZNFSSNAPCORE_EXPORT_H
#define ZNFSSNAPCORE_EXPORT_H

// libznfssnapcore is built with -fvisibility=hidden; only what carries this macro is exported.
#define ZNFSSC_EXPORT __attribute__((visibility("default")))

#endif
