#include "automation/schedulercommand.h"
#include "olmain.h"

class TestSchedulerCommand : public QObject
{
    Q_OBJECT

private slots:
    void helpTexts_data()
    {
        QTest::addColumn<QString>("verb");
        QTest::addColumn<QString>("help");
        const QList<std::pair<const char*, const char*>> rows{
            {"play", "Play track number X, or resume playback"},
            {"stop", "Stop playback"},
            {"pause", "Pause playback"},
            {"next", "Proceed to the next track (optionally fading out over N ms)"},
            {"previous", "Go back to the previous track"},
            {"fadeout", "Fade the playback out over N milliseconds"},
            {"volume", "Set the volume level, optionally fading over N ms"},
            {"shuffle", "shuffle on | off | shuffle (randomise the playlist)"},
            {"clear", "Clear the playlist"},
            {"mic", "mic on [SECONDS] | off - microphone on air (optionally timed)"},
            {"linein", "linein on [SECONDS] | off - line input on air (optionally timed)"},
            {"scheduler", "scheduler on | off [timeout] - suspend or resume the scheduler"},
            {"connect", "connect [N[,N...]] - connect to the broadcasting server(s)"},
            {"disconnect", "disconnect [N[,N...]] - disconnect from the server(s)"},
            {"streamarchive", "streamarchive on | off | [SECONDS] FILENAME - control recording"},
            {"autointro", "autointro enable | disable [rule, rule...]"},
            {"enablevo", "Enable voiceovers"},
            {"disablevo", "Disable voiceovers (e.g. for nighttime broadcasts)"},
            {"load", "load FILENAME - load a playlist file into the active list"},
            {"getrandomplaylist", "getrandomplaylist PATH - load a random playlist from a folder"},
            {"clearplaylist", "clearplaylist [up|down] - clear the list, or above/below the playing track"},
            {"resetplayedstate", "Reset the 'played track' status of the playlist rows"},
            {"reboot", "Restart the computer"},
            {"poweroff", "Shut down the computer"},
            {"relaystart", "relaystart URL | 1 | 2 | 3 - relay a network stream or line input"},
            {"relaystop", "Stop relaying and return to the playlist"},
            {"makelibrary", "makelibrary [FOLDER] - rebuild the music library (scan FOLDER, or refresh existing)"},
            {"setcasttitle", "setcasttitle TITLE - set the broadcast stream title"},
            {"silencedetector", "silencedetector on | off - enable or disable the silence detector"},
            {"renderplaylist", "renderplaylist FILE - render the current playlist to an audio file"},
            {"run", "Launch a program or batch file"},
        };
        for (const auto& [verb, help] : rows)
            QTest::newRow(verb) << QString::fromLatin1(verb) << QString::fromLatin1(help);
    }

    void helpTexts()
    {
        QFETCH(QString, verb);
        QFETCH(QString, help);
        QCOMPARE(SchedulerCommand::describe(verb), help);
        QVERIFY(SchedulerCommand::parse(verb).known);
    }

    void weatherHelpNamesAnExampleCity()
    {
        // The example is a city, a comma, a blank and a two-letter country code.
        const QString help = SchedulerCommand::describe(QStringLiteral("weather"));
        const QString lead = QStringLiteral("Update the weather for a city, e.g. weather ");
        QVERIFY(help.startsWith(lead));
        const QString example = help.mid(lead.size());
        QVERIFY2(QRegularExpression(QStringLiteral("^\\S[^,]*, [A-Z]{2}$")).match(example).hasMatch(),
                 qPrintable(example));
    }

    void knownVerbsInCodeUnitOrder()
    {
        const QStringList expected = QStringLiteral(
            "autointro clear clearplaylist connect disablevo disconnect enablevo fadeout getrandomplaylist linein "
            "load makelibrary mic next pause play poweroff previous reboot relaystart relaystop renderplaylist "
            "resetplayedstate run scheduler setcasttitle shuffle silencedetector stop streamarchive volume weather")
                                         .split(QLatin1Char(' '));
        QCOMPARE(SchedulerCommand::knownVerbs(), expected);
    }

    void describe_data()
    {
        QTest::addColumn<QString>("verb");
        QTest::addColumn<QString>("help");
        QTest::newRow("case and blanks") << " Next\t" << "Proceed to the next track (optionally fading out over N ms)";
        QTest::newRow("capitals") << "STOP" << "Stop playback";
        QTest::newRow("unknown") << "foo" << "";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("verb with argument") << "play 3" << "";
        QTest::newRow("prefix of a verb") << "clea" << "";
    }

    void describe()
    {
        QFETCH(QString, verb);
        QFETCH(QString, help);
        QCOMPARE(SchedulerCommand::describe(verb), help);
    }

    void parse_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("verb");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("raw");
        QTest::addColumn<bool>("known");

        // Empty and blank lines.
        QTest::newRow("empty") << "" << "" << QStringList() << "" << false;
        QTest::newRow("blanks") << "    " << "" << QStringList() << "" << false;
        QTest::newRow("only white space of all kinds")
            << QStringLiteral("\t\n\v\f\r \u0085\u00a0\u2003\u2028\u2029\u3000") << "" << QStringList() << ""
            << false;
        QTest::newRow("only an empty quote pair") << "\"\"" << "" << QStringList() << "\"\"" << false;

        // Case: verbs fold, arguments keep theirs.
        QTest::newRow("capitals and blanks") << "  PLAY 3  " << "play" << QStringList{"3"} << "PLAY 3" << true;
        QTest::newRow("mixed case keeps args") << "SetCastTitle Morning Show"
                                               << "setcasttitle" << QStringList{"Morning", "Show"}
                                               << "SetCastTitle Morning Show" << true;
        QTest::newRow("unknown verb") << "foo bar" << "foo" << QStringList{"bar"} << "foo bar" << false;
        QTest::newRow("unicode case folding") << QStringLiteral("ÉCHO x") << QStringLiteral("écho")
                                              << QStringList{"x"} << QStringLiteral("ÉCHO x") << false;

        // White space of every kind separates tokens and is trimmed from raw.
        QTest::newRow("tab") << "volume\t60" << "volume" << QStringList{"60"} << "volume\t60" << true;
        QTest::newRow("line feed") << "volume\n60" << "volume" << QStringList{"60"} << "volume\n60" << true;
        QTest::newRow("vertical tab") << "volume\v60" << "volume" << QStringList{"60"} << "volume\v60" << true;
        QTest::newRow("form feed") << "volume\f60" << "volume" << QStringList{"60"} << "volume\f60" << true;
        QTest::newRow("carriage return") << "next\r\n" << "next" << QStringList() << "next" << true;
        QTest::newRow("next line U+0085") << QStringLiteral("volume\u008560") << "volume" << QStringList{"60"}
                                          << QStringLiteral("volume\u008560") << true;
        QTest::newRow("no-break space") << QStringLiteral("\u00a0volume\u00a060\u00a0") << "volume"
                                        << QStringList{"60"} << QStringLiteral("volume\u00a060") << true;
        QTest::newRow("em space (Zs)") << QStringLiteral("volume\u200360") << "volume" << QStringList{"60"}
                                       << QStringLiteral("volume\u200360") << true;
        QTest::newRow("ogham space mark (Zs)") << QStringLiteral("volume\u168060") << "volume"
                                               << QStringList{"60"} << QStringLiteral("volume\u168060") << true;
        QTest::newRow("line separator (Zl)") << QStringLiteral("volume\u202860") << "volume" << QStringList{"60"}
                                             << QStringLiteral("volume\u202860") << true;
        QTest::newRow("paragraph separator (Zp)") << QStringLiteral("volume\u202960") << "volume"
                                                  << QStringList{"60"} << QStringLiteral("volume\u202960") << true;
        QTest::newRow("ideographic space") << QStringLiteral("\u3000stop\u3000") << "stop" << QStringList()
                                           << "stop" << true;
        QTest::newRow("zero-width space is no white space")
            << QStringLiteral("volume\u200b60") << QStringLiteral("volume\u200b60") << QStringList()
            << QStringLiteral("volume\u200b60") << false;
        QTest::newRow("runs of mixed white space") << " \t scheduler \t\t off  \n 300 " << "scheduler"
                                                   << QStringList{"off", "300"} << "scheduler \t\t off  \n 300"
                                                   << true;

        // Quoting.
        QTest::newRow("quoted path") << "load \"C:/My Lists/Morning Show.m3u\"" << "load"
                                     << QStringList{"C:/My Lists/Morning Show.m3u"}
                                     << "load \"C:/My Lists/Morning Show.m3u\"" << true;
        QTest::newRow("weather without quotes") << "weather Port Avalon, ZZ" << "weather"
                                                << QStringList{"Port", "Avalon,", "ZZ"}
                                                << "weather Port Avalon, ZZ" << true;
        QTest::newRow("quotes inside a token") << "x ab\"c d\"e" << "x" << QStringList{"abc de"} << "x ab\"c d\"e"
                                               << false;
        QTest::newRow("empty quotes give no token") << "x \"\" y" << "x" << QStringList{"y"} << "x \"\" y"
                                                    << false;
        QTest::newRow("empty quotes glued to a token") << "run a\"\"b" << "run" << QStringList{"ab"}
                                                       << "run a\"\"b" << true;
        QTest::newRow("quoted verb") << "\"Play\" 2" << "play" << QStringList{"2"} << "\"Play\" 2" << true;
        QTest::newRow("quoted verb with a blank") << "\"play 2\"" << "play 2" << QStringList() << "\"play 2\""
                                                  << false;
        QTest::newRow("quoted white space kept") << "setcasttitle \"\tA  B\u00a0\"" << "setcasttitle"
                                                 << QStringList{QStringLiteral("\tA  B\u00a0")}
                                                 << QStringLiteral("setcasttitle \"\tA  B\u00a0\"") << true;
        QTest::newRow("quoted blank only") << "setcasttitle \" \"" << "setcasttitle" << QStringList{" "}
                                           << "setcasttitle \" \"" << true;
        QTest::newRow("unclosed quote runs to the end") << "load \"My File.m3u  extra  " << "load"
                                                        << QStringList{"My File.m3u  extra"}
                                                        << "load \"My File.m3u  extra" << true;
        QTest::newRow("unclosed quote after tokens") << "run a b \"c  d" << "run" << QStringList{"a", "b", "c  d"}
                                                     << "run a b \"c  d" << true;
        QTest::newRow("unclosed quote at the end") << "stop \"" << "stop" << QStringList() << "stop \"" << true;
        QTest::newRow("no escape character") << "run a\\\"b c" << "run" << QStringList{"a\\b c"}
                                             << "run a\\\"b c" << true;
        QTest::newRow("three quotes") << "run \"a\"\"b c\" d" << "run" << QStringList{"ab c", "d"}
                                      << "run \"a\"\"b c\" d" << true;
        QTest::newRow("single quotes are plain") << "run 'a b'" << "run" << QStringList{"'a", "b'"}
                                                 << "run 'a b'" << true;
    }

    void parse()
    {
        QFETCH(QString, line);
        QFETCH(QString, verb);
        QFETCH(QStringList, args);
        QFETCH(QString, raw);
        QFETCH(bool, known);
        const SchedulerCommand c = SchedulerCommand::parse(line);
        QCOMPARE(c.verb, verb);
        QCOMPARE(c.args, args);
        QCOMPARE(c.raw, raw);
        QCOMPARE(c.known, known);
        QCOMPARE(SchedulerCommand::isCommand(line), known);
    }

    void args_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("def");
        QTest::addColumn<QString>("arg");
        QTest::addColumn<int>("intArg");
        QTest::newRow("beyond the arguments") << "next 1 2" << 5 << 7 << "" << 7;
        QTest::newRow("at the count") << "next 1 2" << 2 << 7 << "" << 7;
        QTest::newRow("a number") << "next 1500" << 0 << 7 << "1500" << 1500;
        QTest::newRow("negative") << "next -20" << 0 << 7 << "-20" << -20;
        QTest::newRow("plus sign") << "next +20" << 0 << 7 << "+20" << 20;
        QTest::newRow("not a number") << "next x" << 0 << 7 << "x" << 7;
        QTest::newRow("above 32 bits") << "next 99999999999" << 0 << 7 << "99999999999" << 7;
        QTest::newRow("largest int") << "next 2147483647" << 0 << 7 << "2147483647" << 2147483647;
        QTest::newRow("just above") << "next 2147483648" << 0 << 7 << "2147483648" << 7;
        QTest::newRow("smallest int") << "next -2147483648" << 0 << 7 << "-2147483648" << int(-2147483648LL);
        QTest::newRow("decimal") << "next 1.5" << 0 << 7 << "1.5" << 7;
        QTest::newRow("hex is no decimal") << "next 0x10" << 0 << 7 << "0x10" << 7;
        QTest::newRow("leading zeros") << "next 007" << 0 << 3 << "007" << 7;
        QTest::newRow("trailing letters") << "next 12ab" << 0 << 3 << "12ab" << 3;
        QTest::newRow("second argument") << "mic on 30" << 1 << 0 << "30" << 30;
    }

    void args()
    {
        QFETCH(QString, line);
        QFETCH(int, index);
        QFETCH(int, def);
        QFETCH(QString, arg);
        QFETCH(int, intArg);
        const SchedulerCommand c = SchedulerCommand::parse(line);
        QCOMPARE(c.arg(index), arg);
        QCOMPARE(c.intArg(index, def), intArg);
    }

    void hasArg_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("probe");
        QTest::addColumn<bool>("has");
        QTest::newRow("case ignored") << "mic on" << "ON" << true;
        QTest::newRow("any position") << "clearplaylist x Down" << "down" << true;
        QTest::newRow("whole argument only") << "mic online" << "on" << false;
        QTest::newRow("verb is no argument") << "mic" << "mic" << false;
        QTest::newRow("no arguments") << "stop" << "" << false;
    }

    void hasArg()
    {
        QFETCH(QString, line);
        QFETCH(QString, probe);
        QFETCH(bool, has);
        QCOMPARE(SchedulerCommand::parse(line).hasArg(probe), has);
    }

    void volumeArgs_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("volume");
        QTest::addColumn<int>("fadeMs");
        QTest::newRow("no arguments") << "volume" << 100 << 0;
        QTest::newRow("level") << "volume 60" << 60 << 0;
        QTest::newRow("level and fade") << "volume 60 1500" << 60 << 1500;
        QTest::newRow("above the range, negative fade") << "volume 150 -5" << 100 << 0;
        QTest::newRow("below the range") << "volume -3 2000" << 0 << 2000;
        QTest::newRow("not a number") << "volume loud 500" << 100 << 500;
        QTest::newRow("out of 32 bits") << "volume 99999999999 x" << 100 << 0;
        QTest::newRow("zero") << "volume 0" << 0 << 0;
    }

    void volumeArgs()
    {
        QFETCH(QString, line);
        QFETCH(int, volume);
        QFETCH(int, fadeMs);
        const SchedulerCommand::VolumeArgs v = SchedulerCommand::parse(line).volumeArgs();
        QCOMPARE(v.volume, volume);
        QCOMPARE(v.fadeMs, fadeMs);
    }

    void archiveArgs_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("no arguments") << "streamarchive" << 0 << 0 << "";
        QTest::newRow("off in capitals") << "streamarchive OFF" << 1 << 0 << "";
        QTest::newRow("off with more") << "streamarchive off now" << 1 << 0 << "";
        QTest::newRow("on mixed case") << "streamarchive On" << 0 << 0 << "";
        QTest::newRow("seconds and file") << "streamarchive 3600 D:/rec/show.mp3" << 2 << 3600 << "D:/rec/show.mp3";
        QTest::newRow("number alone is a file") << "streamarchive 30" << 2 << 0 << "30";
        QTest::newRow("file of two words") << "streamarchive my show" << 2 << 0 << "my show";
        QTest::newRow("seconds and words") << "streamarchive 60 my  show.mp3" << 2 << 60 << "my show.mp3";
        QTest::newRow("quoted file") << "streamarchive 60 \"a  b.mp3\"" << 2 << 60 << "a  b.mp3";
        QTest::newRow("on followed by a file") << "streamarchive on x.mp3" << 0 << 0 << "";
    }

    void archiveArgs()
    {
        QFETCH(QString, line);
        QFETCH(int, mode);
        QFETCH(int, seconds);
        QFETCH(QString, fileName);
        const SchedulerCommand::ArchiveArgs a = SchedulerCommand::parse(line).archiveArgs();
        QCOMPARE(a.mode, mode);
        QCOMPARE(a.seconds, seconds);
        QCOMPARE(a.fileName, fileName);
    }
};

OL_TEST_MAIN(TestSchedulerCommand)
#include "tst_schedulercommand.moc"
