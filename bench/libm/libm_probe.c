/* The C library's log, sin and cos over the arguments the analysis gives them, so that two
   C libraries (or one on two processors) can be compared bit for bit.

     libm_probe write FILE      every result's bits into FILE
     libm_probe compare A B     how many results differ, and by how many units in the last place

   Arguments: the FFT's 14 stage angles 3.14159/h (cos and sin) and ln 10; ten million bin
   magnitudes over 2^-24..2^14 for log, the range 20*log10(|X| + 1e-7) meets; four million
   angles in -8..8 for sin and cos, as the fine frequency's kernel takes them. The arguments
   are made from random bits, so every machine takes the very same ones. C, not C++, so that
   musl-gcc builds it too. */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kStages = 14, kLogs = 10000000, kAngles = 2000000 };
enum { kValues = 3 * kStages + kLogs + 2 * kAngles };

static uint64_t state = 88172645463325252ull;
static uint64_t NextBits(void) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

static void Write(const char* path) {
  FILE* out = fopen(path, "wb");
  if (!out) {
    perror(path);
    exit(1);
  }
  double v[3];
  for (int h = 1; h < 1 << kStages; h *= 2) {
    const double theta = 3.14159 / (double)h;
    v[0] = cos(theta);
    v[1] = -sin(theta);
    v[2] = log(10.0);
    fwrite(v, sizeof v, 1, out);
  }
  for (long i = 0; i < kLogs; ++i) {
    const uint64_t bits = NextBits();
    const uint64_t exponent = 1023 - 24 + (bits >> 58) % 39;
    const uint64_t pattern = exponent << 52 | (bits & ((1ull << 52) - 1));
    double x;
    memcpy(&x, &pattern, sizeof x);
    v[0] = log(x);
    fwrite(v, sizeof(double), 1, out);
  }
  for (long i = 0; i < kAngles; ++i) {
    const double angle = ((double)(NextBits() >> 11) / 9007199254740992.0 - 0.5) * 16;
    v[0] = sin(angle);
    v[1] = cos(angle);
    fwrite(v, sizeof(double), 2, out);
  }
  if (fclose(out) != 0) {
    perror(path);
    exit(1);
  }
}

static uint64_t* Read(const char* path) {
  uint64_t* values = malloc(sizeof(uint64_t) * kValues);
  FILE* in = fopen(path, "rb");
  if (!values || !in || fread(values, sizeof(uint64_t), kValues, in) != kValues) {
    fprintf(stderr, "libm_probe: cannot read %s\n", path);
    exit(1);
  }
  fclose(in);
  return values;
}

static void Compare(const char* path_a, const char* path_b) {
  const uint64_t* a = Read(path_a);
  const uint64_t* b = Read(path_b);
  const long ends[] = {0, 3 * kStages, 3 * kStages + kLogs, kValues};
  const char* names[] = {"FFT stage cos/sin, ln 10", "log of magnitudes", "sin/cos of angles"};
  for (int part = 0; part < 3; ++part) {
    long differ = 0;
    long long most_ulp = 0;
    for (long i = ends[part]; i < ends[part + 1]; ++i) {
      if (a[i] == b[i]) continue;
      ++differ;
      const long long ulp = llabs((long long)(a[i] - b[i]));
      if (ulp > most_ulp) most_ulp = ulp;
    }
    printf("  %-26s %8ld of %8ld differ, by at most %lld ulp\n", names[part], differ,
           ends[part + 1] - ends[part], most_ulp);
  }
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "write") == 0) {
    Write(argv[2]);
  } else if (argc == 4 && strcmp(argv[1], "compare") == 0) {
    Compare(argv[2], argv[3]);
  } else {
    fputs("usage: libm_probe write FILE | compare A B\n", stderr);
    return 2;
  }
  return 0;
}
