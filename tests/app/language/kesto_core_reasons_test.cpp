// The reasons of a Kesto failure as the window words them: real failures of the request
// channel (against scripted TLS servers, a closed port and a silent one on loopback), of the
// MAC file, report and settings files (real files in a temporary folder), each said in English
// byte for byte as the CLI prints it, and in Chinese with its address, path and the system's
// or OpenSSL's own message kept as they are.
#include <QCoreApplication>
#include <QTest>
#include <QTranslator>
#include <chrono>
#include <string>

#include "app/language/core_texts.h"
#include "app/language/window_language.h"
#include "provisioning/batch_cells.h"
#include "provisioning/kesto_operations.h"
#include "provisioning/mac_file.h"
#include "provisioning/provisioning_channel.h"
#include "room_main.h"
#include "scripted_tls_server.h"
#include "settings/kesto_settings.h"
#include "support/reporter.h"
#include "temp_dir.h"
#include "test_certificates.h"

using namespace std::chrono_literals;
using velquor::app::coreText;
using velquor::provisioning::KestoEndpoint;
using velquor::provisioning::testing::CertificateAndKey;
using velquor::provisioning::testing::ClosedPort;
using velquor::provisioning::testing::ScriptedTlsServer;
using velquor::provisioning::testing::ServerAction;
using velquor::provisioning::testing::ServerScript;
using velquor::provisioning::testing::SilentTcpListener;
using velquor::provisioning::testing::TestCertificates;
using velquor::support::Error;
using velquor::testing::TempDir;
using velquor::testing::writeFile;

namespace {

// The window in Chinese while it lives, in the original English again after.
class ChineseWindow {
public:
    ChineseWindow() {
        m_installed = velquor::app::installWindowLanguage(
                          QStringLiteral("zh_CN"), {QStringLiteral(VELQUOR_TRANSLATIONS_DIR)}) ==
                      QStringLiteral("zh_CN");
    }
    ~ChineseWindow() {
        for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
            QCoreApplication::removeTranslator(translator);
            delete translator;
        }
    }
    ChineseWindow(const ChineseWindow&) = delete;
    ChineseWindow& operator=(const ChineseWindow&) = delete;
    bool installed() const { return m_installed; }

private:
    bool m_installed = false;
};

QString fromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

// A failure and what its Chinese wording must hold: the words it is said with, and the
// arguments kept as given. causeArgument: the argument (from 1) that is an earlier error of
// another module, whose own wording is not checked here.
struct Expected {
    Error error;
    QStringList chineseWords;
    QStringList keptAsGiven;
    int causeArgument = 0;
};

// The cause argument of phrase as the window words it.
QString causeText(const velquor::support::Phrase& phrase, int argument) {
    const auto index = static_cast<std::size_t>(argument - 1);
    velquor::support::Phrase cause{
        "%1", {phrase.arguments.at(index)}, velquor::support::markedArgument(1), {}};
    if (index < phrase.argumentPhrases.size())
        cause.argumentPhrases = {phrase.argumentPhrases[index]};
    return coreText(cause);
}

// A test connection to a server presenting certificate, as the window's Test connection
// makes it.
Error testConnectionTo(const TestCertificates& certificates, const CertificateAndKey& certificate) {
    ScriptedTlsServer server(certificate.certificate, certificate.key,
                             velquor::wire::kLoginRequestSize);
    KestoEndpoint endpoint;
    endpoint.address = "127.0.0.1";
    endpoint.loginPort = server.port();
    endpoint.caFile = certificates.caFile().string();
    auto tested = velquor::provisioning::testConnection(endpoint);
    return tested ? Error{} : tested.error();
}

KestoEndpoint loopback(const TestCertificates& certificates, std::uint16_t port) {
    KestoEndpoint endpoint;
    endpoint.address = "127.0.0.1";
    endpoint.loginPort = endpoint.accountPort = endpoint.devicePort = port;
    endpoint.caFile = certificates.caFile().string();
    endpoint.timeouts.connect = 1s;
    endpoint.timeouts.exchange = 1s;
    return endpoint;
}

void checkWordings(const std::vector<Expected>& cases) {
    for (const Expected& expected : cases) {
        QVERIFY2(!expected.error.message.empty(), "the failure did not happen");
        QVERIFY2(!expected.error.phrase.empty(), expected.error.message.c_str());
        QCOMPARE(coreText(expected.error), fromUtf8(expected.error.message));
    }
    ChineseWindow chinese;
    QVERIFY(chinese.installed());
    for (const Expected& expected : cases) {
        const QString text = coreText(expected.error);
        for (const QString& word : expected.chineseWords) {
            QVERIFY2(text.contains(word), qPrintable(text + " lacks " + word));
        }
        for (const QString& kept : expected.keptAsGiven) {
            QVERIFY2(text.contains(kept), qPrintable(text + " lacks " + kept));
        }
        // No English word of the patterns is left: every ASCII letter is an argument's.
        QString rest = text;
        if (expected.causeArgument > 0) {
            rest.remove(causeText(expected.error.phrase, expected.causeArgument));
        }
        for (const QString& kept : expected.keptAsGiven) rest.remove(kept);
        for (const QChar c : rest) {
            QVERIFY2(!(c >= 'a' && c <= 'z'), qPrintable(text + ": English left in " + rest));
        }
    }
}

}  // namespace

class KestoCoreReasonsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { velquor::provisioning::setDiagnosticStream(nullptr); }

    // Connection refused, no handshake in time, a CA file that is not there, and each way a
    // certificate is refused: a CA not trusted, a certificate for another address, one named
    // only in its common name.
    void theChannelsFailuresReadInChinese() {
        TestCertificates certificates;
        ClosedPort closed;
        SilentTcpListener silent;
        const auto connect = [&](std::uint16_t port) {
            auto tested = velquor::provisioning::testConnection(loopback(certificates, port));
            return tested ? Error{} : tested.error();
        };
        const QString closedAt = QStringLiteral("127.0.0.1:%1").arg(closed.port());
        const QString silentAt = QStringLiteral("127.0.0.1:%1").arg(silent.port());
        const QString ca = fromUtf8(certificates.caFile().string());
        // A ca-file setting naming a file that is not there: nothing is opened or sent.
        TempDir dir;
        velquor::settings::KestoSettings settings;
        settings.caFile.value = (dir / "absent.pem").string();
        settings.caFile.from.where = (dir / "velquor.conf").string() + ":3";
        KestoEndpoint noCa =
            velquor::provisioning::endpointFromSettings(settings, {dir / "system", dir / "user"});
        noCa.loginPort = closed.port();
        auto untrusting = velquor::provisioning::testConnection(noCa);
        QVERIFY(!untrusting);
        checkWordings({
            {connect(closed.port()), {"无法连接"}, {closedAt, "Connection refused"}},
            {untrusting.error(),
             {"证书", "不存在"},
             {fromUtf8(settings.caFile.value), fromUtf8(settings.caFile.from.where), "ca-file"}},
            {connect(silent.port()), {"握手"}, {silentAt, "1 s"}},
            {testConnectionTo(certificates, certificates.otherCa()), {"证书", "CA"}, {ca}},
            {testConnectionTo(certificates, certificates.otherAddress()),
             {"证书"},
             {"10.9.9.9", "127.0.0.1"}},
            {testConnectionTo(certificates, certificates.commonNameOnly()),
             {"证书", "CN"},
             {"127.0.0.1", "subjectAltName"}},
        });
    }

    // A server that hangs up instead of replying, a login refused again and again (the
    // lock-out hint with the count and the name), and a listing that breaks the layout.
    void theServersAnswersReadInChinese() {
        TestCertificates certificates;
        ScriptedTlsServer server(certificates.server().certificate, certificates.server().key,
                                 velquor::wire::kLoginRequestSize,
                                 ServerScript{ServerAction::HangUp, {}});
        const KestoEndpoint endpoint = loopback(certificates, server.port());
        const QString at = QStringLiteral("127.0.0.1:%1").arg(server.port());
        velquor::support::RecordingReporter reporter;
        auto hungUp = velquor::provisioning::login(endpoint, "hank", "pw", reporter);
        QVERIFY(!hungUp);

        server.setScript(ServerScript{ServerAction::Reply, "NO"});
        velquor::provisioning::LoginRefusals refusals;
        std::optional<Error> lockedOut;
        for (int i = 0; i < velquor::provisioning::LoginRefusals::kSeveral; ++i) {
            auto refused =
                velquor::provisioning::login(endpoint, "hank", "pw", reporter, {}, &refusals);
            QVERIFY(!refused);
            lockedOut = refused.error();
        }

        ScriptedTlsServer lister(certificates.server().certificate, certificates.server().key,
                                 velquor::wire::kDeviceRequestSize,
                                 ServerScript{ServerAction::Reply, "ROWS" + std::string(60, '\0')});
        velquor::provisioning::ProvisioningChannel channel(loopback(certificates, lister.port()));
        auto page = channel.fetchListingPage({"hank", {}, 0, {}});
        QVERIFY(!page);

        const QString times = QString::number(velquor::provisioning::LoginRefusals::kSeveral);
        checkWordings({
            {hungUp.error(), {"关闭", "连接"}, {at}},
            {*lockedOut, {"登录", "拒绝", "10"}, {"NO", "hank", times}},
            {page.error(), {"服务器", "总数", "数字"}, {}},
        });
        // The box's detail line, beneath "Login failed!", is the same reason.
        QCOMPARE(fromUtf8(lockedOut->message).endsWith(fromUtf8(reporter.details().back())), true);
    }

    // A MAC file that is not there, a report that is not one, and settings files with a bad
    // value (an error) and an unknown key (a warning).
    void theFilesFailuresReadInChinese() {
        TempDir dir;
        const std::string missing = (dir / "absent.csv").string();
        auto macFile = velquor::provisioning::readMacFile(missing, {});
        QVERIFY(!macFile);

        const std::string notAReport = (dir / "report.csv").string();
        writeFile(dir / "report.csv",
                  "row,column,cell,mac,operation,outcome,reason\n"
                  "2,1,A2,02:ee:00:00:00:01,add,vanished,\n");
        auto report = velquor::provisioning::readRetryReport(notAReport, {});
        QVERIFY(!report);

        velquor::settings::SettingsPaths paths{dir / "system", dir / "user"};
        std::filesystem::create_directories(paths.userFolder);
        writeFile(paths.userFile(), "[kesto]\nports = 44388,44389\n");
        auto badPorts = velquor::settings::loadSettings({}, paths);
        QVERIFY(!badPorts);
        writeFile(paths.userFile(), "[kesto]\nadress = 10.0.0.5\n");
        auto unknownKey = velquor::settings::loadSettings({}, paths);
        QVERIFY(unknownKey);
        QCOMPARE(unknownKey->warningPhrases.size(), std::size_t{1});
        QCOMPARE(unknownKey->warningPhrases[0].english(), unknownKey->warnings[0]);
        const Error warning = velquor::support::makeError(velquor::support::ErrorCode::InvalidInput,
                                                          unknownKey->warningPhrases[0]);

        const QString user = fromUtf8(paths.userFile().string());
        checkWordings({
            {macFile.error(), {"无法读取", "MAC 文件"}, {fromUtf8(missing)}, 2},
            {report.error(), {"报告", "结果"}, {fromUtf8(notAReport), "2", "vanished"}},
            {badPorts.error(),
             {"端口"},
             {user + ":2", "[kesto] ports", "LOGIN,ACCOUNT,DEVICE", "44388,44389"}},
            {warning, {"未知", "忽略"}, {user + ":2", "adress", "[kesto]"}},
        });
    }
};

VELQUOR_ROOM_TEST(KestoCoreReasonsTest)
#include "kesto_core_reasons_test.moc"
