/* Preloaded into torvel-displayd by the spine tests: makes one step of
 * opening the USB layer fail, chosen by TORVEL_TEST_USB_FAULT
 * ("init", "hotplug" or "list"); every other call goes to libusb. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <libusb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

static int fault_is(const char *name) {
    const char *f = getenv("TORVEL_TEST_USB_FAULT");
    return f != NULL && strcmp(f, name) == 0;
}

/* dlsym hands back an object pointer; copy it into the function pointer. */
#define NEXT(fn, name) memcpy(&(fn), &(void *){dlsym(RTLD_NEXT, name)}, sizeof(fn))

int libusb_init(libusb_context **ctx) {
    int (*real)(libusb_context **);
    if (fault_is("init")) return LIBUSB_ERROR_OTHER;
    NEXT(real, "libusb_init");
    return real(ctx);
}

int libusb_has_capability(uint32_t capability) {
    int (*real)(uint32_t);
    if (fault_is("hotplug") && capability == LIBUSB_CAP_HAS_HOTPLUG) return 0;
    NEXT(real, "libusb_has_capability");
    return real(capability);
}

ssize_t libusb_get_device_list(libusb_context *ctx, libusb_device ***list) {
    ssize_t (*real)(libusb_context *, libusb_device ***);
    if (fault_is("list")) return LIBUSB_ERROR_NO_MEM;
    NEXT(real, "libusb_get_device_list");
    return real(ctx, list);
}
