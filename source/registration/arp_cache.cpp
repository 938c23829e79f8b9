// The Add/Remove Programs cache: both product codes' keys are deleted, so
// that the list reads the titles afresh from their uninstall entries.
#include "log/log.h"
#include "registration/registration.h"

using namespace platform;

int purge_arp_cache()
{
    key_owner key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, ARP_CACHE_KEY, key.receive()) != ERROR_SUCCESS) {
        return 0;
    }
    log_line("Clearing both titles from the Add/Remove Programs cache");
    SHDeleteKeyA(key.get(), SHARED_PRODUCT_CODE);
    SHDeleteKeyA(key.get(), ALTERNATE_PRODUCT_CODE);
    return 1;
}
