#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "byte_sink.hpp"
#include "direction_rules.hpp"
#include "euc_jp.hpp"
#include "file_content.hpp"
#include "file_job.hpp"
#include "grelmat_rules.hpp"
#include "ibm_extension_tables.hpp"
#include "kernel_set.hpp"
#include "shift_jis.hpp"
#include "tovrek_rules.hpp"
#include "utf8.hpp"

namespace {

using Bytes = std::vector<unsigned char>;
// 1 MiB less one byte: the largest file the job converts.
constexpr std::size_t INPUT_SIZE = (std::size_t{1} << 20) - 1;

// A fixed-seed generator, so that every run measures the same bytes.
class Random {
 public:
  unsigned below(unsigned bound) {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<unsigned>((state_ >> 33) % bound);
  }

 private:
  std::uint64_t state_ = 0x2545F4914F6CDD1Dull;
};

void append_shift_jis(Bytes& text, unsigned row, unsigned cell) {
  const unsigned row_pair = (row - 1) / 2;
  const unsigned lead = row_pair < 31 ? 0x81 + row_pair : 0xE0 + (row_pair - 31);
  unsigned trail = 0x9F + (cell - 1);
  if (row % 2 == 1) {
    trail = 0x40 + (cell - 1);
    trail += trail >= 0x7F ? 1 : 0;
  }
  text.push_back(static_cast<unsigned char>(lead));
  text.push_back(static_cast<unsigned char>(trail));
}

// One assigned JIS X 0208 character: punctuation, hiragana, katakana or a common kanji; or, in
// ibm_per_thousand of them, one of IBM's extensions.
void append_kanji_or_kana(Bytes& text, Random& random, unsigned ibm_per_thousand) {
  if (random.below(1000) < ibm_per_thousand) {
    const unsigned code = ibm_extension_code(random.below(IBM_EXTENSION_COUNT));
    text.push_back(static_cast<unsigned char>(code >> 8));
    text.push_back(static_cast<unsigned char>(code & 0xFFu));
    return;
  }
  const unsigned pick = random.below(10);
  if (pick == 0) {
    append_shift_jis(text, 1, 1 + random.below(94));
  } else if (pick <= 3) {
    append_shift_jis(text, 4, 1 + random.below(83));
  } else if (pick == 4) {
    append_shift_jis(text, 5, 1 + random.below(86));
  } else {
    append_shift_jis(text, 16 + random.below(31), 1 + random.below(94));
  }
}

// Shift_JIS text with CR LF line ends, a little longer than INPUT_SIZE. japanese_share of every
// hundred characters are JIS X 0208 characters and three are half-width katakana; the rest are
// ASCII letters, digits and spaces.
Bytes make_shift_jis_text(unsigned japanese_share, unsigned ibm_per_thousand = 0) {
  Random random;
  Bytes text;
  while (text.size() < INPUT_SIZE + 64) {
    const unsigned length = 20 + random.below(60);
    for (unsigned i = 0; i < length; ++i) {
      const unsigned pick = random.below(100);
      if (pick < japanese_share) {
        append_kanji_or_kana(text, random, ibm_per_thousand);
      } else if (pick < japanese_share + 3) {
        text.push_back(static_cast<unsigned char>(0xA1 + random.below(63)));
      } else {
        static constexpr char ASCII[] = "abcdefghijklmnopqrstuvwxyz0123456789     ";
        text.push_back(static_cast<unsigned char>(ASCII[random.below(sizeof ASCII - 1)]));
      }
    }
    text.push_back('\r');
    text.push_back('\n');
  }
  return text;
}

Bytes to_euc_jp(const Bytes& shift_jis) {
  Bytes image = shift_jis;
  image.resize(shift_jis.size() + IMAGE_SLACK, 0);
  Bytes output(2 * shift_jis.size());
  ByteSink sink(output.data(), output.size());
  shift_jis_to_euc_jp_with_ibm_extensions(image.data(), shift_jis.size(), sink);
  output.resize(sink.size());
  return output;
}

// The text cut to exactly INPUT_SIZE bytes at a character boundary, padded with spaces.
Bytes cut(Bytes text, std::size_t (*width_of)(unsigned)) {
  std::size_t end = 0;
  while (end < INPUT_SIZE) {
    const std::size_t width = width_of(text[end]);
    if (end + width > INPUT_SIZE) {
      break;
    }
    end += width;
  }
  text.resize(end);
  text.resize(INPUT_SIZE, ' ');
  return text;
}

std::size_t shift_jis_width(unsigned b) {
  return b >= 0x80 && !(b >= 0xA1 && b <= 0xDF) ? 2 : 1;
}
std::size_t euc_jp_width(unsigned b) {
  return b == 0x8F ? 3 : b >= 0x80 ? 2 : 1;
}

void count_bytes(benchmark::State& state, const Bytes& input) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
}

struct Direction {
  const char* name;
  const char* iconv_from;
  const char* iconv_to;
  DirectionRules rules;
};

// The rules as the programs set them, checks of other encodings included.
const Direction SHIFT_JIS{"shift_jis_to_euc_jp", "SHIFT_JIS", "EUC-JP", TOVREK_RULES};
const Direction EUC_JP{"euc_jp_to_shift_jis", "EUC-JP", "SHIFT_JIS", GRELMAT_RULES};

// The image as the job lays it out: the content followed by zeroed slack.
Bytes image_of(const Bytes& input) {
  Bytes image = input;
  image.resize(input.size() + IMAGE_SLACK, 0);
  return image;
}

void validator(benchmark::State& state, DirectionRules::Validator validate, const Bytes& input) {
  const Bytes image = image_of(input);
  if (validate(image.data(), input.size()) != 1) {
    state.SkipWithError("the input is not valid");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(validate(image.data(), input.size()));
  }
  count_bytes(state, input);
}

void transcoder(benchmark::State& state, DirectionRules::Transcoder transcode, const Bytes& input) {
  const Bytes image = image_of(input);
  Bytes output(2 * input.size());
  for (auto _ : state) {
    ByteSink sink(output.data(), output.size());
    transcode(image.data(), input.size(), sink);
    benchmark::DoNotOptimize(sink.size());
    benchmark::ClobberMemory();
  }
  count_bytes(state, input);
}

void with_iconv(benchmark::State& state, const Direction& direction, const Bytes& input) {
  const iconv_t converter = iconv_open(direction.iconv_to, direction.iconv_from);
  Bytes source = input;
  // iconv may write up to three bytes per input byte, whatever the text.
  std::vector<char> output(3 * input.size() + 16);
  for (auto _ : state) {
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    char* in = reinterpret_cast<char*>(source.data());
    char* out = output.data();
    std::size_t in_left = source.size();
    std::size_t out_left = output.size();
    if (iconv(converter, &in, &in_left, &out, &out_left) == static_cast<std::size_t>(-1)) {
      state.SkipWithError("iconv refused the input");
      break;
    }
    benchmark::ClobberMemory();
  }
  iconv_close(converter);
  count_bytes(state, input);
}

void with_memcpy(benchmark::State& state, const Bytes& input) {
  Bytes output(input.size());
  for (auto _ : state) {
    std::memcpy(output.data(), input.data(), input.size());
    benchmark::ClobberMemory();
  }
  count_bytes(state, input);
}

std::filesystem::path scratch_directory() {
  std::string name = (std::filesystem::temp_directory_path() / "converter-bench-XXXXXX").string();
  if (::mkdtemp(name.data()) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return name;
}

// Writes the file and syncs it, so that no write-back of it is left over for the timed part.
void write_file(const std::string& path, const Bytes& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 ||
      ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
      ::fsync(fd) != 0 || ::close(fd) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
}

// The whole job on a file in a scratch directory; the file gets its input again, untimed,
// before every conversion.
void whole_job(benchmark::State& state, const Direction& direction, const Bytes& input) {
  const std::filesystem::path directory = scratch_directory();
  const std::string path = (directory / "text.txt").string();
  for (auto _ : state) {
    state.PauseTiming();
    write_file(path, input);
    state.ResumeTiming();
    if (convert_file(path.c_str(), 1, direction.rules) != 1) {
      state.SkipWithError("the conversion failed");
      break;
    }
  }
  std::filesystem::remove_all(directory);
  count_bytes(state, input);
}

// The least any safe replacement costs: write 1 MiB to a new file, sync it and rename it over
// an existing one.
void replacement_floor(benchmark::State& state, const Bytes& input) {
  const std::filesystem::path directory = scratch_directory();
  const std::string target = (directory / "text.txt").string();
  const std::string temporary = (directory / ".text.txt.new").string();
  write_file(target, input);
  for (auto _ : state) {
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool done =
        fd >= 0 && ::write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size()) &&
        ::fsync(fd) == 0 && ::close(fd) == 0 && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!done) {
      state.SkipWithError("the replacement failed");
      break;
    }
  }
  std::filesystem::remove_all(directory);
  count_bytes(state, input);
}

// Prints the usual table, then each target beside the ratio measured in this run.
class TargetReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // With repetitions, the median stands for the benchmark; it is reported after the runs.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!run.error_occurred && run.iterations > 0 &&
          (run.run_type == Run::RT_Iteration || median)) {
        const auto rate = run.counters.find("bytes_per_second");
        results_[run.run_name.function_name] = {
            rate == run.counters.end() ? 0.0 : static_cast<double>(rate->second),
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit)};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf(
        "\nTargets on the Japanese-heavy input (measured side by side in this run; "
        "the kernels chosen here are %s):\n",
        chosen_kernel_set_name());
    for (const char* direction : {SHIFT_JIS.name, EUC_JP.name}) {
      const std::string prefix = std::string(direction) + "/japanese/";
      const double iconv_rate = rate(prefix + "iconv");
      // The kernel goals hold for AVX2 and wider.
      for (const char* kernels : {"avx2", "avx512"}) {
        if (rate(prefix + "transcoder/" + kernels) > 0) {
          throughput(prefix + "transcoder/" + kernels, 5e9);
          throughput(prefix + "validator/" + kernels, 20e9);
        }
      }
      ratio(prefix + "transcoder", rate(prefix + "transcoder"), iconv_rate, 20.0, "x iconv");
      ratio(prefix + "validator", rate(prefix + "validator"), iconv_rate, 40.0, "x iconv");
      const double job = seconds(prefix + "convert_file");
      const double floor = seconds("replacement_floor");
      const double share = floor > 0 ? job / floor : 0;
      std::printf("  %-46s %8.2f x floor  (target <= 1.5)  %s\n", (prefix + "convert_file").c_str(),
                  share, share > 0 && share <= 1.5 ? "met" : "MISSED");
    }
  }

 private:
  struct Result {
    double bytes_per_second;
    double seconds_per_iteration;
  };

  double rate(const std::string& name) const {
    const auto found = results_.find(name);
    return found == results_.end() ? 0.0 : found->second.bytes_per_second;
  }
  double seconds(const std::string& name) const {
    const auto found = results_.find(name);
    return found == results_.end() ? 0.0 : found->second.seconds_per_iteration;
  }
  void throughput(const std::string& name, double target) const {
    std::printf("  %-46s %8.2f GB/s     (target >= %.0f)    %s\n", name.c_str(), rate(name) / 1e9,
                target / 1e9, rate(name) >= target ? "met" : "MISSED");
  }
  static void ratio(const std::string& name, double value, double reference, double target,
                    const char* unit) {
    const double measured = reference > 0 ? value / reference : 0;
    std::printf("  %-46s %8.1f %-9s (target >= %.0f)   %s\n", name.c_str(), measured, unit, target,
                measured >= target ? "met" : "MISSED");
  }

  std::map<std::string, Result> results_;
};

}  // namespace

int main(int argc, char** argv) {
  const Bytes japanese = make_shift_jis_text(85);
  const Bytes mostly_ascii = make_shift_jis_text(5);
  // One character in a thousand or so one of IBM's extensions, as in a list of names.
  const Bytes with_ibm = make_shift_jis_text(85, 1);
  static const std::map<std::string, Bytes> inputs[] = {
      {{"japanese", cut(japanese, shift_jis_width)},
       {"mostly_ascii", cut(mostly_ascii, shift_jis_width)},
       {"japanese_ibm", cut(with_ibm, shift_jis_width)}},
      {{"japanese", cut(to_euc_jp(japanese), euc_jp_width)},
       {"mostly_ascii", cut(to_euc_jp(mostly_ascii), euc_jp_width)},
       {"japanese_ibm", cut(to_euc_jp(with_ibm), euc_jp_width)}},
  };
  const Direction* directions[] = {&SHIFT_JIS, &EUC_JP};
  for (int d = 0; d < 2; ++d) {
    const Direction& direction = *directions[d];
    for (const auto& [input_name, input] : inputs[d]) {
      const std::string prefix = std::string(direction.name) + "/" + input_name + "/";
      const bool ibm = input_name == "japanese_ibm";
      // The chosen kernels under the plain names, and every set the processor runs beside them.
      // Text with IBM's extensions only where -w is measured.
      if (!ibm) {
        benchmark::RegisterBenchmark((prefix + "validator").c_str(), validator,
                                     direction.rules.validator, input)
            ->UseRealTime();
        benchmark::RegisterBenchmark((prefix + "transcoder").c_str(), transcoder,
                                     direction.rules.transcoder, input)
            ->UseRealTime();
      }
      for (const KernelSet* kernels : runnable_kernel_sets()) {
        const bool shift_jis = d == 0;
        // -w on every input; the rest on the inputs without IBM's extensions.
        benchmark::RegisterBenchmark((prefix + "validator_w/" + kernels->name).c_str(), validator,
                                     shift_jis ? kernels->is_shift_jis_with_ibm_extensions
                                               : kernels->is_euc_jp_with_ibm_extensions,
                                     input)
            ->UseRealTime();
        benchmark::RegisterBenchmark((prefix + "transcoder_w/" + kernels->name).c_str(), transcoder,
                                     shift_jis ? kernels->shift_jis_to_euc_jp_with_ibm_extensions
                                               : kernels->euc_jp_to_shift_jis_with_ibm_extensions,
                                     input)
            ->UseRealTime();
        if (ibm) {
          continue;
        }
        benchmark::RegisterBenchmark((prefix + "validator/" + kernels->name).c_str(), validator,
                                     shift_jis ? kernels->is_shift_jis : kernels->is_euc_jp, input)
            ->UseRealTime();
        benchmark::RegisterBenchmark(
            (prefix + "transcoder/" + kernels->name).c_str(), transcoder,
            shift_jis ? kernels->shift_jis_to_euc_jp : kernels->euc_jp_to_shift_jis, input)
            ->UseRealTime();
      }
      if (ibm) {
        continue;
      }
      benchmark::RegisterBenchmark((prefix + "iconv").c_str(), with_iconv, direction, input)
          ->UseRealTime();
      benchmark::RegisterBenchmark((prefix + "memcpy").c_str(), with_memcpy, input)->UseRealTime();
      benchmark::RegisterBenchmark((prefix + "convert_file").c_str(), whole_job, direction, input)
          ->UseRealTime();
    }
  }
  benchmark::RegisterBenchmark("replacement_floor", replacement_floor, japanese)->UseRealTime();

  benchmark::Initialize(&argc, argv);
  TargetReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
