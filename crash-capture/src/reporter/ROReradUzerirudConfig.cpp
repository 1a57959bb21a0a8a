#include "crash-capture/ROReradUzerirud.h"

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::defaultConfiguration() {
  return init();
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::init() {
  return initWithSignalHandlerType(ROReradUzerirudSignalHandlerTypeBSD,
                                   ROReradUzerirudSymbolicationStrategyNone, true, std::nullopt);
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::initWithBasePath(
    std::string basePath) {
  return initWithSignalHandlerType(ROReradUzerirudSignalHandlerTypeBSD,
                                   ROReradUzerirudSymbolicationStrategyNone, true,
                                   std::move(basePath));
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::initWithSignalHandlerType(
    uint64_t signalHandlerType, uint64_t symbolicationStrategy) {
  return initWithSignalHandlerType(signalHandlerType, symbolicationStrategy, true, std::nullopt);
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::initWithSignalHandlerType(
    uint64_t signalHandlerType, uint64_t symbolicationStrategy, std::string basePath) {
  return initWithSignalHandlerType(signalHandlerType, symbolicationStrategy, true,
                                   std::move(basePath));
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::initWithSignalHandlerType(
    uint64_t signalHandlerType, uint64_t symbolicationStrategy,
    bool shouldRegisterUncaughtExceptionHandler) {
  return initWithSignalHandlerType(signalHandlerType, symbolicationStrategy,
                                   shouldRegisterUncaughtExceptionHandler, std::nullopt);
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::initWithSignalHandlerType(
    uint64_t signalHandlerType, uint64_t symbolicationStrategy,
    bool shouldRegisterUncaughtExceptionHandler, std::optional<std::string> basePath) {
  std::shared_ptr<ROReradUzerirudConfig> config(new ROReradUzerirudConfig());
  config->signalHandlerType_ = signalHandlerType;
  config->symbolicationStrategy_ = symbolicationStrategy;
  config->shouldRegisterUncaughtExceptionHandler_ = shouldRegisterUncaughtExceptionHandler;
  config->basePath_ = std::move(basePath);
  return config;
}
