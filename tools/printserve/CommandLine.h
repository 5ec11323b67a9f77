// printserve's command line, read the same way by both of its builds.
#pragma once

#include <iostream>

#include <boost/program_options.hpp>

namespace printserve {

// Reads the options of `desc` (the rest are the "files" option) into their
// variables. Returns -1 to go on, or the exit status: 0 after --help (the
// help on standard output), 2 after an error (one line on standard error).
inline int ReadCommandLine(int argc, char** argv, const boost::program_options::options_description& desc)
{
    namespace po = boost::program_options;
    po::positional_options_description positional;
    positional.add("files", -1);
    try {
        po::variables_map vm;
        po::store(po::command_line_parser(argc, argv).options(desc).positional(positional).run(), vm);
        po::notify(vm);
        if (vm.count("help")) {
            std::cout << desc << std::endl;
            return 0;
        }
    } catch (const po::error& e) {
        std::cerr << "printserve: " << e.what() << std::endl;
        return 2;
    }
    return -1;
}

}  // namespace printserve
