#include "CommandLine.h"

#include <boost/program_options.hpp>

namespace po = boost::program_options;

const char* const DEFAULT_SERVER_URL = "ws://printserver:5905/";

COMMAND_LINE ParseCommandLine(int argc, const char* const argv[], _STRING& url, _STRING& driver, _STRING& name,
                              _INT& dpi, std::ostream& out, std::ostream& err)
{
    po::options_description desc("Allowed options", po::options_description::m_default_line_length,
                                 po::options_description::m_default_line_length / 2);
    desc.add_options()
        ("help,h", "Help message")
        ("url,u", po::value<_STRING>(&url)->value_name("URL"), "Server URL")
        ("printer,p", po::value<_STRING>(&driver)->value_name("OS PRINTER NAME"), "OS Printer Name")
        ("name,n", po::value<_STRING>(&name)->value_name("ZELT PRINTER NAME"), "ZELT Printer Name")
        ("dpi,d", po::value<_INT>(&dpi)->default_value(203), "DPI value");

    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, desc), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        err << e.what() << std::endl;
        return COMMAND_LINE::Error;
    }

    if (url.empty())
        url = DEFAULT_SERVER_URL;
    if (vm.count("help") || driver.empty() || name.empty()) {
        out << desc << std::endl;
        return COMMAND_LINE::Help;
    }
    return COMMAND_LINE::Run;
}
