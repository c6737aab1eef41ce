// The character-class bits of glibc's <ctype.h>, which the C++ library's
// ctype<char> was built with (its table is glibc's layout, which musl also
// exports); musl's <ctype.h> does not name them.
#ifndef _TQ8_GLIBC_CTYPE_BITS
#define _TQ8_GLIBC_CTYPE_BITS 1
#include <endian.h>
#if __BYTE_ORDER == __BIG_ENDIAN
#define _ISbit(bit) (1 << (bit))
#else
#define _ISbit(bit) ((bit) < 8 ? ((1 << (bit)) << 8) : ((1 << (bit)) >> 8))
#endif
enum {
  _ISupper = _ISbit(0),
  _ISlower = _ISbit(1),
  _ISalpha = _ISbit(2),
  _ISdigit = _ISbit(3),
  _ISxdigit = _ISbit(4),
  _ISspace = _ISbit(5),
  _ISprint = _ISbit(6),
  _ISgraph = _ISbit(7),
  _ISblank = _ISbit(8),
  _IScntrl = _ISbit(9),
  _ISpunct = _ISbit(10),
  _ISalnum = _ISbit(11)
};
#endif
#include_next <bits/ctype_base.h>
