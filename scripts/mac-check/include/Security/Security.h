// Stand-in for the check only: the declarations are in ../../apple_c_apis.h.
#include "apple_c_apis.h"
