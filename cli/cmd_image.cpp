// kelda-cli compile / export / dump / load: the editor's own compiler, export
// and store, without a display.
#include <QFileInfo>

#include "atomicfile.h"
#include "checkgate.h"
#include "imagecompiler.h"
#include "clicommand.h"
#include "documentargs.h"
#include "pmmodel.h"
#include "setupexport.h"
#include "setuptree.h"

namespace {

int runCompile(const CliArgs &args)
{
    const QString setup = args.positional.at(0);
    int status = 0;
    const QString out = args.value("o");
    const bool toStandardOutput = out == QLatin1String("-");
    if (!toStandardOutput
        && (refuseOutputIsInput(out, {setup}, QStringLiteral("the setup being compiled"), &status)
            || !outputWritable(out, &status)))
        return status;
    PMModel model;
    if (!openDocumentSetup(model, setup, &status))
        return status;
    if (const int refused = cliCheckGate(model, setup, args.isSet("force")))
        return refused;
    // What writeRawImage does, with a failed write said as such.
    QByteArray image;
    QString error;
    if (!kelda::image::compileImage(model.session(), &image, &error))
        return cliFail(QStringLiteral("cannot compile %1").arg(shownPath(setup)), error);
    if (toStandardOutput)
        writeStandardOutput(image);
    else if (!kelda::fileio::writeAtomically(out, image, &error))
        return writeFailed(error);
    return 0;
}

int runExport(const CliArgs &args)
{
    const QStringList &files = args.positional;
    int status = 0;
    if (files.at(1) == QLatin1String("-"))
        return cliUsageError(QStringLiteral("export writes a calibration file, not standard output: give a file "
                                            "name (./- for a file named -)"));
    const QString what = QStringLiteral("cannot export %1 to %2").arg(shownPath(files.at(0)), shownPath(files.at(1)));
    const QString clash = kelda::image::exportClash(files.at(0), files.at(1));
    if (!clash.isEmpty())
        return cliFail(what, clash);
    if (!outputWritable(files.at(1), &status))
        return status;
    PMModel model;
    if (!openDocumentSetup(model, files.at(0), &status))
        return status;
    if (const int refused = cliCheckGate(model, files.at(0)))
        return refused;
    QString error;
    if (!kelda::image::exportSetup(model.session(), model.fileName(), files.at(1), &error))
        return error.startsWith(QLatin1String("cannot write ")) ? writeFailed(error) : cliFail(what, error);
    return 0;
}

int runDump(const CliArgs &args)
{
    const QString path = args.positional.at(0);
    const QString what = QStringLiteral("cannot open %1").arg(shownPath(path));
    if (!QFileInfo::exists(path))
        return cliFail(what, QStringLiteral("no such file"));
    const QByteArray latin1 = path.toLatin1();
    if (QString::fromLatin1(latin1) != path)
        return cliFail(what, QStringLiteral("the path has characters outside Latin-1"));
    QByteArray json;
    QString error;
    bool opened = false;
    if (!kelda::setuptree::dumpFile(latin1, &json, &error, &opened))
        return opened ? cliFail(QStringLiteral("cannot dump %1").arg(shownPath(path)), error)
                      : cliFail(what, openFailureReason(error, path));
    writeStandardOutput(json);
    return 0;
}

int runLoad(const CliArgs &args)
{
    const QString source = args.positional.at(0);
    const QString out = args.value("o");
    int status = 0;
    if (refuseOutputIsInput(out, {source}, QStringLiteral("the tree being loaded"), &status))
        return status;
    if (!outputWritable(out, &status))
        return status;
    // A tree larger than the largest setup file is refused unread, and so is
    // anything that is not a regular file or standard input ("-").
    QByteArray json;
    QString why;
    if (!kelda::fileio::readInput(source, STRATA_MAX_FILE_SIZE, &json, &why))
        return cliFail(QStringLiteral("cannot read %1").arg(shownPath(source)), why);

    const QString writeWhat = QStringLiteral("cannot write %1").arg(shownPath(out));
    const QByteArray latin1 = out.toLatin1();
    if (QString::fromLatin1(latin1) != out)
        return cliFail(writeWhat, QStringLiteral("the path has characters outside Latin-1"));

    QString error;
    bool loaded = false;
    if (kelda::setuptree::loadFile(json, latin1, &error, &loaded))
        return 0;
    if (!loaded)
        return cliFail(QStringLiteral("cannot load %1").arg(shownPath(source)), error);
    // The store says where it failed; the line says that once.
    const QString where = QStringLiteral("cannot write to %1: ").arg(out);
    return cliFail(writeWhat, error.startsWith(where) ? error.mid(where.size()) : error);
    return 0;
}

const CliRegistration compileCommand{{
    .name = "compile",
    .usage = "kelda-cli compile SETUP.kelda -o IMAGE.bin [--force]",
    .summary = "write the raw image of a setup",
    .description = "Opens the setup as the editor does, runs the setup checks and writes the raw image that "
                   "the module runs to IMAGE.bin, replacing any file there. A setup with errors is refused: "
                   "its errors are printed and nothing is written. A setup that the image cannot represent "
                   "(too many items in a table or a list, an image of 64 KiB or more) is refused with the "
                   "reason, and nothing is written. An IMAGE.bin that is the setup itself is refused; -o - writes the "
                   "image to standard output.",
    .arguments = {{"SETUP.kelda", "the setup file"}},
    .options = {{"o,output", "IMAGE.bin", "the file the image is written to; - for standard output", true, true},
                {"force", nullptr, "compile a setup with errors all the same (its errors are still printed)"}},
    .statuses = {{0, "the image was written"},
                 {1, "the setup cannot be opened, has errors, cannot be compiled, or the file cannot be written"}},
    .run = &runCompile,
}};

const CliRegistration exportCommand{{
    .name = "export",
    .usage = "kelda-cli export SETUP.kelda CALFILE.cal",
    .summary = "write a setup into a calibration file",
    .description = "Compiles the setup into LX2Raw.bin in the folder of CALFILE.cal, then writes the first 8 "
                   "bytes of the setup's file name at offset 88 of the calibration file and the image at "
                   "offset 96. The other bytes of an existing calibration file are kept; a missing one is "
                   "created. The file is replaced atomically. A setup with errors of the setup checks is not "
                   "exported, and a CALFILE.cal that is the setup or LX2Raw.bin is refused.",
    .arguments = {{"SETUP.kelda", "the setup file"}, {"CALFILE.cal", "the calibration file to write"}},
    .statuses = {{0, "the calibration file was written"},
                 {1,
                  "the setup cannot be opened, has errors or cannot be compiled, or a file cannot be read "
                  "or written; the calibration file is left as it was"}},
    .run = &runExport,
}};

const CliRegistration dumpCommand{{
    .name = "dump",
    .usage = "kelda-cli dump SETUP.kelda",
    .summary = "print the store tree of a setup file as JSON",
    .description = "Prints the store tree of the file, as stored (without the upgrade that opening in the "
                   "editor applies), as indented JSON with sorted keys on standard output, in the shape that "
                   "kelda-cli load reads.",
    .arguments = {{"SETUP.kelda", "the setup file"}},
    .statuses = {{0, "the tree was printed"},
                 {1, "the file cannot be opened, or holds a value of a width the schema does not allow"}},
    .run = &runDump,
}};

const CliRegistration loadCommand{{
    .name = "load",
    .usage = "kelda-cli load TREE.json -o SETUP.kelda",
    .summary = "write a setup file from a JSON store tree",
    .description = "Checks the whole JSON document (in the shape kelda-cli dump prints) and writes a setup "
                   "file holding its tree, atomically. A fault is reported with the JSON path of the "
                   "offending element, and no file is written. An output that is TREE.json is refused.",
    .arguments = {{"TREE.json", "the JSON store tree (a regular file of at most 64 MiB), or - for standard input"}},
    .options = {{"o,output", "SETUP.kelda", "the setup file to write", true}},
    .statuses = {{0, "the setup file was written"},
                 {1, "the JSON cannot be read or is not a valid tree, or the file cannot be written"}},
    .run = &runLoad,
}};

}  // namespace
