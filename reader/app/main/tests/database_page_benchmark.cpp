// The Database page of a seal with 1,000 log pages in the real main window, from the
// page being opened to its tables painted; run by hand, not by ctest.
#include <QApplication>
#include <QElapsedTimer>
#include <QWebEngineView>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "main_form.h"
#include "page_driver.h"
#include "registry.h"
#include "seal_test_env.h"
#include "zarn_startup.h"

namespace {

constexpr uint32_t Serial = 4242;
constexpr int Pages = 1000;
constexpr int Runs = 7;

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Page i's slot s: forty pages a half-day, a minute between entries.
TSealTime At(int i, int s) { return MakeSealTime(uint16_t(18000 + i / 40), uint16_t(43200 - (i % 40) * 1000 - s * 60 - 1)); }

// 1,000 full log pages of the three logs under one key-set, each with its verdict.
void FillDocument(TZarnDocument& document) {
  document.SelectKeyset(Serial, Serial << 8 | 1, MakeSealTime(18000, 43200));
  for (int i = 0; i < Pages; ++i) {
    uint8_t raw[LogPageSize], plain[LogPageSize] = {};
    std::fill(raw, raw + LogPageSize, uint8_t(i));
    const char type = "FFSH"[i % 4];
    plain[2] = uint8_t(type);
    plain[3] = uint8_t(i);
    Put32(plain + 4, At(i, 0));
    if (type == 'F') {
      for (int s = 0; s < 12; ++s) Put32(plain + 16 + 4 * s, At(i, s));
    } else if (type == 'S') {
      for (int s = 0; s < 8; ++s) {
        Put32(plain + 16 + 6 * s, At(i, s));
        plain[20 + 6 * s] = uint8_t(s + 1);
      }
    } else {
      for (int s = 0; s < 6; ++s) {
        uint8_t* at = plain + 16 + 8 * s;
        at[0] = uint8_t(100 + i), at[1] = uint8_t((100 + i) >> 8);
        at[2] = 0xFB, at[3] = 30, at[4] = 36, at[5] = 35, at[6] = 3, at[7] = uint8_t(s);
      }
    }
    document.AddLogPage(raw, plain, i % 97 == 5 ? NotAuthenticText : AuthenticText);
  }
}

}  // namespace

int main(int argc, char** argv) {
  seal_test::TestWorld world;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TZarnStartup startup(argc, argv);
  if (!page_driver::RegisterPindral(PINDRAL_LIBRARY)) {
    std::fprintf(stderr, "The page bridge could not be registered.\n");
    return 1;
  }
  {
    platform::Registry registry;
    registry.OpenKey(std::string("\\") + SettingsKeyPath, true);
    registry.WriteBool("ShowDialog", false);
  }
  TMainForm form;
  form.resize(1200, 860);
  form.show();
  FillDocument(form.Document());
  std::vector<double> inPage, wall;
  for (int run = 0; run < Runs; ++run) {
    QElapsedTimer timer;
    timer.start();
    const std::string state = page_driver::ShowDatabasePage(form, Serial);
    wall.push_back(double(timer.nsecsElapsed()) / 1e6);
    if (state != "ready") {
      std::fprintf(stderr, "The page did not show the seal (%s).\n", state.c_str());
      return 1;
    }
    inPage.push_back(page_driver::Run(form.Browser->page(), "return Number(document.body.dataset.shownAfter);")
                         .value("value")
                         .toDouble());
    // Away again, so the next run opens the page anew.
    form.Browser->setUrl(QUrl::fromLocalFile(form.HtmlPagePath("ZarnReaderStart.htm")));
    QTest::qWait(300);
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("Database page, %d log pages, median of %d opens:\n", Pages, Runs);
  std::printf("  page opened to tables painted (in the page): %.0f ms\n", median(inPage));
  std::printf("  navigation asked to painted seen by the window: %.0f ms\n", median(wall));
  world.EndService();
  return 0;
}
