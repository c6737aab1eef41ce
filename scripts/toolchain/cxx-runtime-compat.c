/* What Debian's C++ runtime archives (libstdc++.a, libgcc_eh.a of the
 * mips-linux-gnu cross compiler) expect of the C library and musl does not
 * provide, or provides with another layout.  Linked into every C++ program
 * of the controller build (scripts/sysroot.sh makes it part of the
 * toolchain), so that those archives, configured for glibc, work on musl.
 * A toolchain whose C++ runtime was built for musl (the OpenWrt SDK's) needs
 * none of this; a program only takes the parts that it references.
 *
 * - __libc_single_threaded: glibc's "no thread was ever created" flag,
 *   which the runtime reads to skip atomic reference counting.  Always 0
 *   (always count atomically), which is correct in every program.
 * - _dl_find_object: glibc's look-up of the object that holds an address
 *   and its exception-handling frame table; the unwinder uses nothing
 *   else to find the frames of a throwing function.  Built here on
 *   dl_iterate_phdr.
 * - __newlocale, __duplocale, __freelocale: the runtime's "gnu" locale
 *   model reads the character-class and case tables straight out of
 *   glibc's locale object.  The locales made here carry musl's six
 *   category pointers at the start (so musl's own *_l functions and
 *   uselocale take them as they are) and glibc's table pointers where the
 *   runtime reads them.
 * - __strftime_l: exported by glibc, internal in musl.
 * - arc4random: present in glibc 2.36, not in musl 1.2.3
 *   (std::random_device). */
#define _GNU_SOURCE
#include <link.h>
#include <locale.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

char __libc_single_threaded = 0;

/* The character-class and case tables, in glibc's layout (musl exports
 * them for programs built against glibc). */
const unsigned short **__ctype_b_loc(void);
const int32_t **__ctype_tolower_loc(void);
const int32_t **__ctype_toupper_loc(void);

enum { kMuslCategories = 6, kGlibcCategories = 13 };

/* glibc's struct __locale_struct.  cat[0..5] doubles as musl's locale
 * object, which is nothing but those six pointers. */
struct glibc_locale {
  const void *cat[kGlibcCategories];
  const unsigned short *ctype_b;
  const int32_t *ctype_tolower;
  const int32_t *ctype_toupper;
  const char *names[kGlibcCategories];
};

/* A locale of this layout holding musl's categories of `musl`, which is
 * released. */
static locale_t adopt(locale_t musl) {
  if (musl == 0) return 0;
  struct glibc_locale *g = calloc(1, sizeof *g);
  if (g != 0) {
    memcpy(g->cat, (const void *)musl, kMuslCategories * sizeof g->cat[0]);
    g->ctype_b = *__ctype_b_loc();
    g->ctype_tolower = *__ctype_tolower_loc();
    g->ctype_toupper = *__ctype_toupper_loc();
    for (int i = 0; i < kGlibcCategories; i++) g->names[i] = "C";
  }
  freelocale(musl);
  return (locale_t)g;
}

locale_t __newlocale(int mask, const char *name, locale_t base) {
  /* glibc reads the LC_ALL bit alone as "every category"; musl would take
   * the categories from the environment instead. */
  if (mask & (1 << LC_ALL)) mask = LC_ALL_MASK;
  /* A base made here counts as allocated for musl, which then changes it
   * in place and returns it. */
  if (base != 0) return newlocale(mask, name, base);
  return adopt(newlocale(mask, name, 0));
}

locale_t __duplocale(locale_t old) {
  if (old == LC_GLOBAL_LOCALE) return adopt(duplocale(old));
  struct glibc_locale *g = malloc(sizeof *g);
  if (g != 0) memcpy(g, (const void *)old, sizeof *g);
  return (locale_t)g;
}

void __freelocale(locale_t l) { free((void *)l); }

size_t __strftime_l(char *s, size_t n, const char *format, const struct tm *tm, locale_t l) {
  return strftime_l(s, n, format, tm, l);
}

uint32_t arc4random(void) {
  uint32_t value = 0;
  if (getentropy(&value, sizeof value) != 0) abort();
  return value;
}

/* glibc's struct dl_find_object on targets without dlfo_eh_dbase and
 * dlfo_eh_count (MIPS among them). */
struct dl_find_object {
  unsigned long long dlfo_flags;
  void *dlfo_map_start;
  void *dlfo_map_end;
  struct link_map *dlfo_link_map;
  void *dlfo_eh_frame;
  unsigned long long dlfo_reserved[7];
};

struct object_search {
  uintptr_t address;
  struct dl_find_object *found;
};

static int search_object(struct dl_phdr_info *info, size_t size, void *data) {
  (void)size;
  struct object_search *search = data;
  uintptr_t start = UINTPTR_MAX;
  uintptr_t end = 0;
  int holds_address = 0;
  void *eh_frame = 0;
  for (int i = 0; i < info->dlpi_phnum; i++) {
    const ElfW(Phdr) *segment = &info->dlpi_phdr[i];
    const uintptr_t begin = info->dlpi_addr + segment->p_vaddr;
    if (segment->p_type == PT_LOAD) {
      if (begin < start) start = begin;
      if (begin + segment->p_memsz > end) end = begin + segment->p_memsz;
      if (search->address >= begin && search->address - begin < segment->p_memsz) holds_address = 1;
    } else if (segment->p_type == PT_GNU_EH_FRAME) {
      eh_frame = (void *)begin;
    }
  }
  if (!holds_address) return 0;
  memset(search->found, 0, sizeof *search->found);
  search->found->dlfo_map_start = (void *)start;
  search->found->dlfo_map_end = (void *)end;
  search->found->dlfo_eh_frame = eh_frame;
  return 1;
}

int _dl_find_object(void *address, struct dl_find_object *found) {
  struct object_search search = {(uintptr_t)address, found};
  return dl_iterate_phdr(search_object, &search) ? 0 : -1;
}
