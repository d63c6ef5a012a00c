/* Preloaded by the OTLP tests: getaddrinfo answers "collector.invalid" with 127.0.0.1 after 10 s, as a resolver that
 * hangs would; every other name goes to the C library. Nothing is looked up on the network. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <string.h>
#include <unistd.h>

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints, struct addrinfo** result) {
    if (node != NULL && strcmp(node, "collector.invalid") == 0) {
        sleep(10);
        node = "127.0.0.1";
    }
    int (*next)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    *(void**)&next = dlsym(RTLD_NEXT, "getaddrinfo");
    return next(node, service, hints, result);
}
