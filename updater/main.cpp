// The updater: started by the service's update schedule, without arguments
// and not waited for. It brings the newest installer and starts it.
#include <ace/OS_main.h>

#include "updater/updater.h"

int ACE_TMAIN(int, ACE_TCHAR*[]) { return tovel::updater::run_update(); }
