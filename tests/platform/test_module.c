/* A loadable module with one export, for the module-loading tests. */
#if defined(_WIN32)
#define MODULE_EXPORT __declspec(dllexport)
#else
#define MODULE_EXPORT __attribute__((visibility("default")))
#endif

static int answer = 42;

MODULE_EXPORT int* Initialize(void) { return &answer; }
