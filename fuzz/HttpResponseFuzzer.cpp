// The HTTP client reading a hostile server's reply. A loopback server answers every request
// of the fetch (redirects included) with the input after its first byte; the first byte's
// low four bits cancel the fetch at that status report (0: never), bit 4 asks for HTTP/1.0.
// The fetch must end, by a result or by one of the client's own exceptions, and the counted
// text length must equal the length of the text Get returns.

#include "fuzz/FuzzCheck.h"

#include "engine/httpclient/EFetchCancelled.h"
#include "engine/httpclient/THttpClient.h"
#include "engine/http/Uri.h"

#include <QCoreApplication>
#include <QString>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

namespace {

int ListenSocket = -1;
int ListenPort = 0;

// Serves each connection one reply, then closes its sending side. Connections stay open
// until the fetch is over, so no reset can overtake the reply.
class ReplyServer
{
public:
    explicit ReplyServer(QByteArray reply) : FReply(std::move(reply))
    {
        if (::pipe2(FWake, O_CLOEXEC) != 0)
            std::abort();
        FThread = std::thread([this] { Serve(); });
    }
    ~ReplyServer()
    {
        FStop = true;
        const char stop = 0;
        (void)!::write(FWake[1], &stop, 1);
        FThread.join();
        for (const int fd : FClients)
            ::close(fd);
        ::close(FWake[0]);
        ::close(FWake[1]);
    }

private:
    void Serve()
    {
        // A fetch makes at most 16 connections (the first and 15 redirects).
        for (int served = 0; served < 17 && !FStop;) {
            // The pipe wakes the wait at once when the fetch is over.
            pollfd waits[2] = {{ListenSocket, POLLIN, 0}, {FWake[0], POLLIN, 0}};
            if (::poll(waits, 2, 1000) <= 0 || !(waits[0].revents & POLLIN))
                continue;
            const int fd = ::accept4(ListenSocket, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            FClients.push_back(fd);
            ++served;
            ReadRequest(fd);
            for (qsizetype at = 0; at < FReply.size();) {
                const ssize_t sent = ::send(fd, FReply.constData() + at, size_t(FReply.size() - at), MSG_NOSIGNAL);
                if (sent <= 0)
                    break;
                at += sent;
            }
            ::shutdown(fd, SHUT_WR);
        }
    }

    // Reads up to the blank line ending the request head, waiting at most half a second.
    void ReadRequest(int fd)
    {
        QByteArray request;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (!request.contains("\r\n\r\n") && request.size() < 65536 && !FStop
               && std::chrono::steady_clock::now() < deadline) {
            pollfd waits[2] = {{fd, POLLIN, 0}, {FWake[0], POLLIN, 0}};
            if (::poll(waits, 2, 100) <= 0 || !(waits[0].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                return;
            request.append(buffer, got);
        }
    }

    QByteArray FReply;
    std::atomic<bool> FStop{false};
    std::vector<int> FClients;
    int FWake[2] = {-1, -1};
    std::thread FThread;
};

struct Outcome
{
    std::optional<QString> Text;
    std::optional<qint64> Length;
    bool Cancelled = false;
};

void Fetch(uint8_t options, bool countOnly, Outcome &outcome)
{
    THttpClient client;
    client.setReadTimeout(2000);
    client.setConnectTimeout(2000);
    client.setProtocolVersion(options & 0x10 ? pv1_0 : pv1_1);
    const int cancelAt = options & 0x0F;
    int reports = 0;
    client.OnStatus = [&](QObject *, THttpStatus, const QString &) {
        if (cancelAt != 0 && ++reports == cancelAt)
            client.Cancel();
    };
    // Redirects stay on the loopback server: nothing the input names is ever looked up.
    client.OnRedirect = [](QObject *sender, QString &dest, int &, bool &handled, QString &) {
        TUri next = static_cast<THttpClient *>(sender)->URL();
        try {
            next.MergeURL(dest);
        } catch (const std::exception &) {
            return; // the client refuses it the same way
        }
        if (next.Host != QLatin1String("127.0.0.1") || next.PortNumber() != ListenPort)
            handled = false;
    };
    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(ListenPort);
    try {
        if (countOnly)
            outcome.Length = client.GetTextLength(url);
        else
            outcome.Text = client.Get(url);
    } catch (const EFetchCancelled &) {
        outcome.Cancelled = true;
    } catch (const std::exception &) {
        // Every failure the client reports is one of its exceptions.
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    ListenSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (ListenSocket < 0 || ::bind(ListenSocket, reinterpret_cast<sockaddr *>(&address), length) != 0
        || ::listen(ListenSocket, 32) != 0
        || ::getsockname(ListenSocket, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::perror("loopback server");
        std::abort();
    }
    ListenPort = ntohs(address.sin_port);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray reply(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    Outcome text, count;
    {
        ReplyServer server(reply);
        Fetch(data[0], false, text);
    }
    {
        ReplyServer server(reply);
        Fetch(data[0], true, count);
    }
    // Without a cancel both fetches read the same reply to the same end.
    if ((data[0] & 0x0F) == 0) {
        FUZZ_CHECK(!text.Cancelled && !count.Cancelled);
        if (text.Text && count.Length)
            FUZZ_CHECK(*count.Length == text.Text->size());
    }
    return 0;
}
