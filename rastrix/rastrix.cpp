// placeholder: the image library is being written
#include <kit.h>
KIT_MODULE(rastrix, m) {}
