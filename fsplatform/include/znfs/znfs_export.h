#ifndef ZNFS_EXPORT_H
#define ZNFS_EXPORT_H

// libznfscore is built with -fvisibility=hidden; only what carries this macro is exported.
#define ZNFS_EXPORT __attribute__((visibility("default")))

#endif
