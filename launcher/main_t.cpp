#include "qorwiz_t.h"
#include <stdio.h>
#include <string.h>
int main() { int32_t n; memcpy(&n, &qorlicensetext_size, 4); printf("%d %d\n", n, (int)(qorlicensetext[0])); memcpy(&n,&qornativeinstaller_size,4); printf("%d\n", n); memcpy(&n,&qoruiinstaller_size,4); printf("%d\n", n); return 0; }
