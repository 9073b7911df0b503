// Prints the interfaces the server offers, one "name<TAB>description" line
// each, as the main window would list them in this network namespace.
#include <cstdio>

#include "link/if_list.h"

int main() {
  static L2_IfList list;
  if (L2_ListIf(&list) != 0) return 1;
  for (int i = 0; i < list.count; ++i)
    std::printf("%s\t%s\n", list.name[i], list.description[i]);
  return 0;
}
