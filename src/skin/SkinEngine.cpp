#include "SkinEngine.h"

#include "SkinFile.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"

namespace skin {

namespace {

// The runtime's reader opens without blocking and looks at what it opened, so a FIFO put in the
// file's place can never hold up the window.
FileContents readWithRuntime(const std::filesystem::path &path, std::size_t maxBytes)
{
    FileContents contents;
    try {
        contents.bytes = runtime::readRegularFile(path, maxBytes);
    } catch (const runtime::RuntimeError &error) {
        switch (error.kind()) {
        case runtime::ErrorKind::NotFound:
            contents.state = FileContents::State::Missing;
            break;
        case runtime::ErrorKind::Refused:
            // Larger than asked for is no refusal here: the parser tells the size limit itself.
            contents.state = runtime::fileKind(path) == runtime::FileKind::Regular
                                 ? FileContents::State::Read
                                 : FileContents::State::NotRegular;
            break;
        default:
            contents.state = FileContents::State::Unreadable;
            contents.error = error.what();
            break;
        }
    }
    return contents;
}

} // namespace

SkinEngine::SkinEngine(runtime::Window &window)
    : m_painter(runtime::controls().createSkinPainter(window))
{}

SkinEngine::~SkinEngine() = default;

void SkinEngine::AttachWindow(runtime::WindowHandle handle)
{
    m_painter->attach(handle);
    m_attached = handle;
}

void SkinEngine::LoadSkinFile(const std::string &path)
{
    // Read, parsed and decoded in full before anything changes, so a refused file leaves the
    // loaded skin alone.
    Skin skin = readSkinFile(runtime::pathFromUtf8(path), readWithRuntime);
    m_painter->load(rotateHue(skin, m_settings.hue));
    m_loaded = std::move(skin);
    m_skinFile = path;
}

void SkinEngine::ApplySkin(runtime::WindowHandle handle)
{
    if (!m_attached || *m_attached != handle)
        throw runtime::RuntimeError(runtime::ErrorKind::Refused,
                                    "the window was not attached to the skin engine");
    if (!m_loaded)
        throw runtime::RuntimeError(runtime::ErrorKind::Unavailable, "no skin has been loaded");
    Skin skin = rotateHue(*m_loaded, m_settings.hue);
    m_painter->setSettings(m_settings);
    m_painter->load(skin);
    m_painter->apply(handle);
    m_applied = std::move(skin);
}

} // namespace skin
