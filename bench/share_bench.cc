// The folder import over SMB next to the design's own SMB calls, on a share of another machine.
//
//   share_bench [--host PATH] [--plugin PATH] [--files 100,1000] [--runs N]
//
// A network lab (network namespaces, testing/NetworkLab.h; needs root) gets a Samba server on
// one machine and the pollers on another. For each file count, the share's folder is filled
// with that many 1 KiB files of different ages and drained twice, in turn:
//   model:   one libsmbclient context making only the calls of the design, per file: list the
//            folder with times, rename the oldest file to a lock name, open, read, close,
//            unlink;
//   plug-in: the real plug-in in a host process on the pollers' machine, driven as
//            xelmaster's poll mode drives it (tools/PollMode.h): a poll with the share's
//            account, the package stored in a local folder, the confirmation.
// It prints files per second of both, the plug-in's share of the model's rate, and the time
// per file; with --runs N each figure is the best of N drains.
#include <libsmbclient.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../tools/MasterSession.h"
#include "../tools/PollMode.h"
#include "NetworkLab.h"
#include "PluginBenchMain.h"
#include "SambaServerProcess.h"

namespace {

namespace fs = std::filesystem;
using velmora::testing::NetworkLab;
using velmora::testing::SambaServer;
using velmora::tools::MasterOptions;
using velmora::tools::MasterSession;
using velmora::tools::PollClient;
using velmora::tools::PollOutcome;
using velmora::util::Ref;
using velmora::util::Result;
using velmora::xel::XmlParser;

constexpr int kBytes = 1024;

void WriteFiles(const std::string& folder, int count) {
  const std::string bytes(kBytes, 'x');
  const auto now = fs::file_time_type::clock::now();
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/f%05d.dat", i);
    { std::ofstream(folder + name, std::ios::binary) << bytes; }
    fs::last_write_time(folder + name, now - std::chrono::seconds(count - i));
  }
}

void Auth(SMBCCTX*, const char*, const char*, char*, int, char* user, int userLen, char* password,
          int passwordLen) {
  std::snprintf(user, static_cast<size_t>(userLen), "%s", SambaServer::kUser);
  std::snprintf(password, static_cast<size_t>(passwordLen), "%s", SambaServer::kPassword);
}

// The model's drain of url (smb://server/share/folder); the number of files, or -1.
int ModelDrain(const std::string& url) {
  SMBCCTX* ctx = smbc_new_context();
  smbc_setFunctionAuthDataWithContext(ctx, Auth);
  smbc_setOptionNoAutoAnonymousLogin(ctx, 1);
  smbc_setOptionUseKerberos(ctx, 0);
  smbc_setOptionFallbackAfterKerberos(ctx, 1);
  if (smbc_init_context(ctx) == nullptr) return -1;
  std::vector<char> buffer(65536);
  int files = 0;
  for (unsigned serial = 0;; ++serial) {
    SMBCFILE* dir = smbc_getFunctionOpendir(ctx)(ctx, url.c_str());
    if (dir == nullptr) return -1;
    std::string oldest;
    struct timespec oldestTime {};
    struct stat st;
    while (const libsmb_file_info* info = smbc_getFunctionReaddirPlus2(ctx)(ctx, dir, &st)) {
      const std::string name = info->name;
      if ((info->attrs & 0x10) != 0 || name.size() < 4 ||
          name.compare(name.size() - 4, 4, ".dat") != 0) {
        continue;
      }
      if (oldest.empty() || info->mtime_ts.tv_sec < oldestTime.tv_sec ||
          (info->mtime_ts.tv_sec == oldestTime.tv_sec &&
           info->mtime_ts.tv_nsec < oldestTime.tv_nsec)) {
        oldest = name;
        oldestTime = info->mtime_ts;
      }
    }
    smbc_getFunctionClosedir(ctx)(ctx, dir);
    if (oldest.empty()) break;
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".20260101000000.%05u+03600.locked", serial % 100000);
    const std::string from = url + "/" + oldest, lock = url + "/" + oldest + suffix;
    if (smbc_getFunctionRename(ctx)(ctx, from.c_str(), ctx, lock.c_str()) != 0) continue;
    SMBCFILE* file = smbc_getFunctionOpen(ctx)(ctx, lock.c_str(), O_RDONLY, 0);
    if (file == nullptr) return -1;
    while (smbc_getFunctionRead(ctx)(ctx, file, buffer.data(), buffer.size()) > 0) {
    }
    smbc_getFunctionClose(ctx)(ctx, file);
    if (smbc_getFunctionUnlink(ctx)(ctx, lock.c_str()) != 0) return -1;
    ++files;
  }
  smbc_free_context(ctx, 1);
  return files;
}

// The plug-in's drain: polls with the share's account until the folder offers nothing.
// The number of files stored and confirmed, or -1.
int PluginDrain(MasterSession* pSession, XmlParser& request, const std::string& out) {
  PollClient client(pSession, out);
  int files = 0;
  for (;;) {
    PollOutcome outcome;
    Result r = client.Poll(request, &outcome);
    if (r.IsError() || outcome.M_bError) {
      std::fprintf(stderr, "share_bench: poll: %s\n",
                   r.IsError() ? r.ErrorText().c_str() : outcome.M_Text.c_str());
      return -1;
    }
    if (!outcome.M_bClaimed) return files;
    files += outcome.M_bConfirmed ? 1 : 0;
  }
}

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string host, plugin, counts = "100,1000", runsText = "1";
  {
    const std::string self = velmora::bench::OwnDirectory();
    host = self + "/../tools/xelhost";
    plugin = self + "/../XELC_File/" + velmora::osal::SharedLibraryFileName("XelcFile");
    for (int i = 1; i + 1 < argc; i += 2) {
      const std::string a = argv[i];
      std::string* target = a == "--host"     ? &host
                            : a == "--plugin" ? &plugin
                            : a == "--files"  ? &counts
                            : a == "--runs"   ? &runsText
                                              : nullptr;
      if (target == nullptr) {
        std::fprintf(stderr,
                     "usage: share_bench [--host P] [--plugin P] [--files N,N] [--runs N]\n");
        return 1;
      }
      *target = argv[i + 1];
    }
  }
  const int runs = std::max(1, std::atoi(runsText.c_str()));
  NetworkLab lab;
  SambaServer server;
  std::string why = lab.Start(2);
  if (why.empty()) lab.RunIn(0, [&] { why = server.Start(NetworkLab::Address(0)); });
  if (!why.empty()) {
    std::fprintf(stderr, "share_bench: no share on another machine: %s\n", why.c_str());
    return 1;
  }
  const std::string local = server.SharePath() + "/in";
  fs::create_directories(local);
  fs::permissions(local, fs::perms::all);
  const std::string url = "smb://" + NetworkLab::Address(0) + "/" + SambaServer::kShare + "/in";
  const std::string unc = server.Unc() + "\\in";
  const std::string out = server.SharePath() + "/../received";

  // Everything runs on the pollers' machine, on one thread: the master's end of the data
  // link belongs to the thread that started it.
  int status = 0;
  lab.RunIn(1, [&] {
    MasterSession session;
    MasterOptions o;
    o.M_HostPath = host;
    o.M_PluginPath = plugin;
    o.M_TraceLevel = 0;
    Result r = session.Start(o);
    Ref<XmlParser> answer, request;
    if (r.IsSuccess()) {
      r = session.SendStart("<Component><Code><XelcFile><Folder><FolderInputBaseDirectory>" +
                                server.Unc() +
                                "</FolderInputBaseDirectory></Folder></XelcFile></Code>"
                                "<Common><Name>share-bench</Name></Common></Component>",
                            &answer);
    }
    if (r.IsSuccess()) {
      r = velmora::tools::RequestFromText(
          "<s:Envelope xmlns:s=\"" + std::string(velmora::xel::kNsSoapEnvelope) +
              "\"><s:Header><t:type xmlns:t=\"" + velmora::xel::kNsXelMessage +
              "\">1</t:type><basic-credentials><userid>" + SambaServer::kUser +
              "</userid><password>" + SambaServer::kPassword +
              "</password></basic-credentials></s:Header><s:Body><poll xmlns=\"" +
              velmora::xel::kNsXelMessage +
              "\"><general><MaxRequested>1</MaxRequested></general><specific><folder>"
              "<WatchedPath>" +
              unc +
              "</WatchedPath><FileSearchMask>*.dat</FileSearchMask></folder></specific>"
              "</poll></s:Body></s:Envelope>",
          ".", &request, nullptr);
    }
    if (r.IsError()) {
      std::fprintf(stderr, "share_bench: plug-in: %s\n", r.ErrorText().c_str());
      status = 1;
      return;
    }

    std::printf("%d KiB files on \\\\%s\\%s from another machine, best of %d drain(s)\n",
                kBytes / 1024, NetworkLab::Address(0).c_str(), SambaServer::kShare, runs);
    std::printf("%7s %14s %16s %7s %14s %16s\n", "files", "model files/s", "plug-in files/s",
                "ratio", "model ms/file", "plug-in ms/file");
    std::stringstream list(counts);
    for (std::string item; std::getline(list, item, ',');) {
      const int count = std::atoi(item.c_str());
      if (count <= 0) continue;
      double model = 0, plugged = 0;  // best files per second
      for (int run = 0; run < runs; ++run) {
        WriteFiles(local, count);
        int drained = -1;
        auto t0 = std::chrono::steady_clock::now();
        drained = ModelDrain(url);
        double s = Seconds(t0);
        if (drained != count) {
          std::fprintf(stderr, "share_bench: the model drained %d of %d files\n", drained, count);
          status = 1;
        }
        model = std::max(model, count / s);

        WriteFiles(local, count);
        fs::remove_all(out);
        fs::create_directories(out);
        t0 = std::chrono::steady_clock::now();
        drained = PluginDrain(&session, *request, out);
        s = Seconds(t0);
        if (drained != count) {
          std::fprintf(stderr, "share_bench: the plug-in drained %d of %d files\n", drained, count);
          status = 1;
        }
        plugged = std::max(plugged, count / s);
      }
      std::printf("%7d %14.1f %16.1f %7.2f %14.2f %16.2f\n", count, model, plugged, plugged / model,
                  1000 / model, 1000 / plugged);
      std::fflush(stdout);
    }
    (void)session.Finish(nullptr, nullptr);
  });
  server.Stop();
  lab.Stop();
  return status;
}
