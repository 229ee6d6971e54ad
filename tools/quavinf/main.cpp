// quavinf: writes quav.inf from its template, the driver's date and version, and the configuration
// defaults of a .reg file (the build runs it with examples/config/default.reg).
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "inf.h"
#include "sim/registry.h"

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error(path + ": cannot be read");
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Writes quav.inf from its template and the configuration defaults of a .reg file."};
    std::string template_path, reg_path, output_path;
    quavinf::DriverVersion version;
    app.add_option("--template", template_path, "the INF template (package/quav.inf.in)")->required();
    app.add_option("--reg", reg_path, "the configuration defaults (examples/config/default.reg)")->required();
    app.add_option("--driver-date", version.date, "DriverVer date, MM/DD/YYYY")->required();
    app.add_option("--driver-version", version.version, "DriverVer version, w.x.y.z")->required();
    app.add_option("-o,--output", output_path, "the INF to write")->required();
    CLI11_PARSE(app, argc, argv);

    std::string inf;
    try {
        const std::string inf_template = ReadFile(template_path);
        const std::string reg_text = ReadFile(reg_path);
        try {
            inf = quavinf::GenerateInf(inf_template, reg_text, version);
        } catch (const sim::RegFileError& e) {
            throw std::runtime_error(reg_path + ": " + e.what());
        } catch (const quavinf::TemplateError& e) {
            throw std::runtime_error(template_path + ": " + e.what());
        }
    } catch (const std::exception& e) {
        std::cerr << "quavinf: " << e.what() << "\n";
        return 1;
    }
    std::ofstream out(output_path, std::ios::binary);
    out << inf;
    if (!out.flush()) {
        std::cerr << "quavinf: " << output_path << ": cannot be written\n";
        return 1;
    }
    return 0;
}
