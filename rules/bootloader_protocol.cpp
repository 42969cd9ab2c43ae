#include "rules/bootloader_protocol.h"

namespace bootloader_protocol
{

const char* const token_mark = "#B_";
const char* const start_token = "#B_STR";
const char* const end_token = "#B_END";

const char* const usb_announcement = "#B_USB";
const char* const uart_announcement = "#B_UAR";
const char* const data_request = "#B_MAX";
const char* const progress_report = "#B_PR";
const char* const reset_request = "#B_RST";
const char* const reprogramming_report = "#B_ENV";
const char* const file_confirmed = "#B_BOK";
const char* const invalid_file = "#B_INV";

const char* const incompatible_status = "Dispositivo Incompatível!";
const char* const reply_timeout_text = "TimeOut";
const char* const line_lost_status = "Comunicação interrompida!";

const char* const started_status = "Bootloader Iniciado";
const char* const sending_status = "Enviando dados...";
const char* const reprogramming_status = "Reprogramando Firmware...";
const char* const finishing_status = "Finalizando Procedimento...";
const char* const success_status = "Operação realizada com Sucesso!";

const char* const link_lost_status = "Conexão com o equipamento perdida!";
const char* const unexpected_status = "Resposta inesperada do equipamento!";

namespace
{

// The byte after a five-character token.
constexpr int data_position = 5;

enum class Test { Contains, ContainsWithLetter };

struct FailureRow {
    Test test;
    const char* token;
    char letter; // for ContainsWithLetter: 0 matches any other letter
    const char* text;
    EndClass end;
};

constexpr EndClass device = EndClass::device_failure;

// Walked in order; the first row that matches decides.
const FailureRow failure_table[] = {
    {Test::Contains, invalid_file, 0, "Arquivo Inválido!", device},
    {Test::Contains, "#B_CRC", 0, "Erro de Checksum!", device},
    {Test::Contains, "#B_ALC", 0, "Erro ao alocar memória!", device},
    {Test::Contains, "#B_CAN", 0, "Barramento CAN desativado", device},
    {Test::Contains, "#B_RES", 0, "Falha de resposta do Equipamento", device},
    {Test::ContainsWithLetter, "#B_FR", 'A', "Falha de resposta da placa da Rede", device},
    {Test::ContainsWithLetter, "#B_FR", 'B', "Falha de resposta da placa da Carga", device},
    {Test::ContainsWithLetter, "#B_FR", 'C', "Falha de resposta da placa Mestre", device},
    {Test::ContainsWithLetter, "#B_FR", 'D', "Falha de resposta da placa dos Painéis", device},
    {Test::ContainsWithLetter, "#B_FR", 'E', "Falha de resposta da placa da Bateria", device},
    {Test::ContainsWithLetter, "#B_FR", 0, unexpected_status, EndClass::unexpected_answer},
    {Test::Contains, "#B_GRV", 0, "Erro na gravação!", device},
    {Test::Contains, "#B_MEM", 0, "Erro ao limpar memória!", device},
    {Test::Contains, "#B_SDC", 0, "Cartão SD ausente!", device},
    {Test::Contains, "#B_SDF", 0, "Falha na operação de armazenamento interno!", device},
    {Test::Contains, "#B_FTF", 0, "Falha na resposta do Display!", device},
};

QChar char_at_data_position(const QString& message)
{
    return message.size() > data_position ? message.at(data_position) : QChar();
}

bool row_matches(const FailureRow& row, const QString& message)
{
    const QString token = QString::fromLatin1(row.token);
    switch (row.test) {
    case Test::Contains:
        return message.contains(token, Qt::CaseSensitive);
    case Test::ContainsWithLetter: {
        const int at = message.indexOf(token, 0, Qt::CaseSensitive);
        if (at < 0)
            return false;
        if (row.letter == 0 || char_at_data_position(message) == QLatin1Char(row.letter))
            return true;
        // Behind other bytes of the same delivery the letter follows its own token.
        const int letter_at = at + token.size();
        return at > 0 && letter_at < message.size() && message.at(letter_at) == QLatin1Char(row.letter);
    }
    }
    return false;
}

} // namespace

QString message_text(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

int progress_value(const QString& message)
{
    const ushort code = char_at_data_position(message).unicode();
    if (code > 255)
        return 0;
    // The device sends one raw byte; values from 128 on read as negative, as the firmware does.
    return static_cast<qint8>(static_cast<quint8>(code));
}

ProgressShown progress_status(int value)
{
    if (value <= last_sending_progress)
        return {true, QString::fromUtf8(sending_status), value};
    if (value < reprogramming_progress)
        return {false, QString(), 0};
    return {true, QString::fromUtf8(reprogramming_status), reprogramming_progress};
}

bool holds_failure(const QByteArray& bytes)
{
    for (const FailureRow& row : failure_table) {
        if (bytes.contains(row.token))
            return true;
    }
    return false;
}

QString failure_text(const QString& message)
{
    for (const FailureRow& row : failure_table) {
        if (row_matches(row, message))
            return QString::fromUtf8(row.text);
    }
    return QString::fromUtf8(unexpected_status);
}

EndClass end_class(const QString& message)
{
    for (const FailureRow& row : failure_table) {
        if (row_matches(row, message))
            return row.end;
    }
    return EndClass::unexpected_answer;
}

const char* end_class_name(EndClass end)
{
    switch (end) {
    case EndClass::success:
        return "success";
    case EndClass::device_failure:
        return "device_failure";
    case EndClass::timeout:
        return "timeout";
    case EndClass::unexpected_answer:
        return "unexpected_answer";
    case EndClass::link_lost:
        return "link_lost";
    case EndClass::package_unusable:
        return "package_unusable";
    case EndClass::stopped:
        return "stopped";
    case EndClass::interrupted:
        return "interrupted";
    }
    return "unknown";
}

std::optional<EndClass> end_class_named(const QString& word)
{
    for (const EndClass end :
         {EndClass::success, EndClass::device_failure, EndClass::timeout, EndClass::unexpected_answer,
          EndClass::link_lost, EndClass::package_unusable, EndClass::stopped, EndClass::interrupted}) {
        if (word == QLatin1String(end_class_name(end)))
            return end;
    }
    return std::nullopt;
}

} // namespace bootloader_protocol
