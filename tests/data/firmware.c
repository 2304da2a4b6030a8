/* A small bare-metal program for the conversion tests: code, then constant data 4 KiB further
   on, in two loadable segments. */
typedef unsigned int u32;

static const char banner[] = "kestrel test firmware";
const u32 table[8] = {1, 2, 3, 4, 5, 6, 7, 8};
static void reset(void);

__attribute__((section(".vectors"), used)) static void (*const vectors[])(void) = {
    (void (*)(void))0x20001000, reset};

static void reset(void) {
  volatile u32 sum = 0;
  for (;;) {
    for (unsigned i = 0; i < sizeof banner; ++i) sum += (u32)banner[i] * table[i & 7];
  }
}
