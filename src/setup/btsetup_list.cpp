// Items of the host's list settings (ServerTasks, EXTMGR_ADDINS): comma-
// separated, each matched whole, blanks around it ignored, case counting.
#include <string.h>

#include "btsetup.h"

static int is_blank(char c) { return c == ' ' || c == '\t'; }

int bt_list_find(const char *list, const char *item, size_t *cut_from, size_t *cut_to) {
  size_t item_len = strlen(item);
  size_t start = 0;
  for (;;) {
    const char *comma = strchr(list + start, ',');
    size_t end = comma ? (size_t)(comma - list) : strlen(list);
    size_t a = start, b = end;
    while (a < b && is_blank(list[a])) ++a;
    while (b > a && is_blank(list[b - 1])) --b;
    if (b - a == item_len && memcmp(list + a, item, item_len) == 0) {
      // The cut takes the item with its blanks and one separating comma:
      // the one before it, or for the first item the one after it, with
      // the blanks after that comma, so the next item leads the list.
      size_t from = start, to = end;
      if (start > 0) {
        from = start - 1;
      } else if (comma) {
        to = end + 1;
        while (is_blank(list[to])) ++to;
      }
      if (cut_from) *cut_from = from;
      if (cut_to) *cut_to = to;
      return 1;
    }
    if (!comma) return 0;
    start = end + 1;
  }
}
